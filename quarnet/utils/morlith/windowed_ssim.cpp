// ssim and _ssim: SSIM with a Gaussian window, computed with torch's conv2d
// (zero padding, one group per channel), differentiable in both images, of
// two floating images of the same shape.
#include "morlith.hpp"

namespace morlith {
namespace {

// A window cast to an integer type is all zeros and the SSIM always 1, so
// images that are tensors must be floating.
void require_floating(const char* function, const py::object& image, const char* name) {
  if (!py::hasattr(image, "is_floating_point") || qh::truthy(image.attr("is_floating_point")())) return;
  qh::raise(PyExc_TypeError, qh::cat(function, "(): ", name, " must be a floating-point tensor, got ", image.attr("dtype"),
                                     " (convert images with .float() and scale them to [0, 1])"));
}

// The formula multiplies the two images' statistics element by element, so
// shapes that broadcast (batch, rows, columns, a missing batch axis) give a
// value that means nothing (above 1, even). A channel count that differs
// fails inside torch's grouped convolution, with torch's own error.
void require_same_shape(const char* function, const py::object& img1, const py::object& img2) {
  if (!py::hasattr(img1, "shape") || !py::hasattr(img2, "shape")) return;
  const py::tuple shape1(py::list(img1.attr("shape"))), shape2(py::list(img2.attr("shape")));  // plain tuples
  if (qh::truthy(qh::compare(shape1, shape2, Py_EQ))) return;
  const std::size_t n1 = shape1.size(), n2 = shape2.size();
  if (n1 >= 3 && n2 >= 3 && !qh::truthy(qh::compare(shape1[n1 - 3], shape2[n2 - 3], Py_EQ))) return;
  qh::raise(PyExc_ValueError, qh::cat(function, "(): img1 and img2 must have the same shape, got ", shape1, " and ",
                                      shape2));
}

py::object ssim(const qh::Call& c, py::object img1, py::object img2, py::object window_size, py::object size_average) {
  const auto& ns = c.ns;
  require_floating("ssim", img1, "img1");
  require_floating("ssim", img2, "img2");
  require_same_shape("ssim", img1, img2);
  py::object channel = img1.attr("size")(-3);
  py::object window = ns["create_window"](window_size, channel);
  if (qh::truthy(img1.attr("is_cuda"))) window = window.attr("cuda")(img1.attr("get_device")());
  window = window.attr("type_as")(img1);
  return ns["_ssim"](img1, img2, window, window_size, channel, size_average);
}

py::object _ssim(const qh::Call& c, py::object img1, py::object img2, py::object window, py::object window_size,
                 py::object channel, py::object size_average) {
  const auto& ns = c.ns;
  require_floating("_ssim", img1, "img1");
  require_floating("_ssim", img2, "img2");
  require_same_shape("_ssim", img1, img2);
  auto conv2d = [&](const py::object& image) {
    py::object conv = ns["F"].attr("conv2d");
    return conv(image, window, py::arg("padding") = qh::floor_divide(window_size, py::int_(2)),
                py::arg("groups") = channel);
  };
  py::object mu1 = conv2d(img1);
  py::object mu2 = conv2d(img2);

  py::object mu1_sq = mu1.attr("pow")(2);
  py::object mu2_sq = mu2.attr("pow")(2);
  py::object mu1_mu2 = mu1 * mu2;

  py::object sigma1_sq = conv2d(img1 * img1) - mu1_sq;
  py::object sigma2_sq = conv2d(img2 * img2) - mu2_sq;
  py::object sigma12 = conv2d(img1 * img2) - mu1_mu2;

  const py::object C1 = qh::power(py::float_(0.01), py::int_(2));
  const py::object C2 = qh::power(py::float_(0.03), py::int_(2));

  const py::int_ two(2);
  py::object numerator_l = two * mu1_mu2 + C1;
  py::object numerator_cs = two * sigma12 + C2;
  py::object numerator = numerator_l * numerator_cs;
  py::object denominator_l = mu1_sq + mu2_sq + C1;
  py::object denominator_cs = sigma1_sq + sigma2_sq + C2;
  py::object denominator = denominator_l * denominator_cs;
  py::object ssim_map = numerator / denominator;

  if (qh::truthy(size_average)) return ssim_map.attr("mean")();
  return ssim_map.attr("mean")(1).attr("mean")(1).attr("mean")(1);
}

}  // namespace

void define_windowed_ssim(const qh::Namespace& ns) {
  qh::def(ns, "ssim", {"img1", "img2", qh::arg("window_size", 11), qh::arg("size_average", true)}, ssim);
  qh::def(ns, "_ssim", {"img1", "img2", "window", "window_size", "channel", qh::arg("size_average", true)}, _ssim);
}

}  // namespace morlith
