// FusedSSIMMap: a torch autograd function whose map and gradient come from
// the native kernels fusedssim and fusedssim_backward of the rasteriser's
// extension; fast_ssim: the mean of that map. The kernels are optional at
// load: a missing one shows as NameError when it is first called.
#include "morlith.hpp"

namespace morlith {
namespace {

py::object forward(const qh::Call& c, py::object ctx, py::object C1, py::object C2, py::object img1, py::object img2) {
  py::object ssim_map = c.ns["fusedssim"](C1, C2, img1, img2);
  ctx.attr("save_for_backward")(img1.attr("detach")(), img2);
  ctx.attr("C1") = C1;
  ctx.attr("C2") = C2;
  return ssim_map;
}

py::object backward(const qh::Call& c, py::object ctx, py::object opt_grad) {
  auto [img1, img2] = qh::unpack<2>(ctx.attr("saved_tensors"));
  py::object C1 = ctx.attr("C1");
  py::object C2 = ctx.attr("C2");
  py::object grad = c.ns["fusedssim_backward"](C1, C2, img1, img2, opt_grad);
  return py::make_tuple(py::none(), py::none(), grad, py::none());
}

py::object fast_ssim(const qh::Call& c, py::object img1, py::object img2) {
  const auto& ns = c.ns;
  py::object apply = ns["FusedSSIMMap"].attr("apply");
  py::object ssim_map = apply(ns["C1"], ns["C2"], img1, img2);
  return ssim_map.attr("mean")();
}

}  // namespace

void import_fused_kernels(const qh::Namespace& ns) {
  // from diff_gaussian_rasterization._C import fusedssim, fusedssim_backward
  // under a guard that keeps whatever was bound before a failure.
  try {
    ns.import_from("diff_gaussian_rasterization._C", "fusedssim");
    ns.import_from("diff_gaussian_rasterization._C", "fusedssim_backward");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
}

void define_fused_ssim(const qh::Namespace& ns) {
  ns.set("C1", py::float_(0.01 * 0.01));
  ns.set("C2", py::float_(0.03 * 0.03));

  py::object Function = ns.torch().attr("autograd").attr("Function");
  qh::plain_class(
      ns, "FusedSSIMMap", py::make_tuple(Function),
      {
          {"forward", qh::static_method(ns, "forward", {"ctx", "C1", "C2", "img1", "img2"}, forward)},
          {"backward", qh::static_method(ns, "backward", {"ctx", "opt_grad"}, backward)},
      });

  qh::def(ns, "fast_ssim", {"img1", "img2"}, fast_ssim);
}

}  // namespace morlith
