// diff_gaussian_rasterization._C (quarnet's stand-in): the fused SSIM map and
// its gradient with respect to the first image, computed by the core kernels
// on the tensors' own memory, the GIL released, on torch's thread count.
#include <algorithm>

#include "cpu_images.hpp"

namespace fused_ssim {
namespace {

namespace core = quarnet::ssim;

// The kernels' workers: as many as torch's intra-op threads at the call
// (torch.get_num_threads(), which a data loader's workers set to 1), fewer
// for small images.
unsigned workers(const qh::Namespace& ns, const CpuImages& images) {
  const long torch_threads = ns.torch().attr("get_num_threads")().cast<long>();
  return core::default_threads(images.shape, static_cast<unsigned>(std::max(torch_threads, 1L)));
}

py::object fusedssim(const qh::Call& c, py::object C1, py::object C2, py::object img1, py::object img2) {
  const double c1 = real_constant("fusedssim", "C1", C1);
  const double c2 = real_constant("fusedssim", "C2", C2);
  const CpuImages a = cpu_images(c.ns, "fusedssim", "img1", img1);
  const CpuImages b = cpu_images(c.ns, "fusedssim", "img2", img2);
  require_match("fusedssim", a, "img1", b, "img2");
  Output map = empty_like(c.ns, a);
  const unsigned threads = workers(c.ns, a);
  qh::without_gil([&] {
    if (a.is_double) {
      core::ssim_map<double>(c1, c2, a.view<double>(), b.view<double>(), map.data<double>(), threads);
    } else {
      core::ssim_map<float>(c1, c2, a.view<float>(), b.view<float>(), map.data<float>(), threads);
    }
  });
  return map.tensor;
}

py::object fusedssim_backward(const qh::Call& c, py::object C1, py::object C2, py::object img1, py::object img2,
                              py::object dL_dmap) {
  const double c1 = real_constant("fusedssim_backward", "C1", C1);
  const double c2 = real_constant("fusedssim_backward", "C2", C2);
  const CpuImages a = cpu_images(c.ns, "fusedssim_backward", "img1", img1);
  const CpuImages b = cpu_images(c.ns, "fusedssim_backward", "img2", img2);
  const CpuImages g = cpu_images(c.ns, "fusedssim_backward", "dL_dmap", dL_dmap);
  require_match("fusedssim_backward", a, "img1", b, "img2");
  require_match("fusedssim_backward", a, "img1", g, "dL_dmap");
  Output grad = empty_like(c.ns, a);
  const unsigned threads = workers(c.ns, a);
  qh::without_gil([&] {
    if (a.is_double) {
      core::ssim_map_backward<double>(c1, c2, a.view<double>(), b.view<double>(), g.view<double>(),
                                      grad.data<double>(), threads);
    } else {
      core::ssim_map_backward<float>(c1, c2, a.view<float>(), b.view<float>(), g.view<float>(), grad.data<float>(),
                                     threads);
    }
  });
  return grad.tensor;
}

}  // namespace
}  // namespace fused_ssim

QUARNET_MODULE(_C, ns) {
  using namespace fused_ssim;
  ns.import("torch");
  qh::def(ns, "fusedssim", {"C1", "C2", "img1", "img2"}, fusedssim,
          "fusedssim(C1, C2, img1, img2) -> Tensor\n\n"
          "Per-pixel SSIM map of img1 against img2, (N, C, H, W) CPU float32 or float64,\n"
          "11 x 11 Gaussian window of standard deviation 1.5, zero padding.");
  qh::def(ns, "fusedssim_backward", {"C1", "C2", "img1", "img2", "dL_dmap"}, fusedssim_backward,
          "fusedssim_backward(C1, C2, img1, img2, dL_dmap) -> Tensor\n\n"
          "Gradient with respect to img1 of a loss whose gradient with respect to the\n"
          "SSIM map is dL_dmap; img2 is held fixed.");
}
