// gaussian: the normalised 1-D Gaussian; create_window: the per-channel
// 2-D window, the weight of a grouped conv2d.
#include "morlith.hpp"

namespace morlith {
namespace {

py::object gaussian(const qh::Call& c, py::object window_size, py::object sigma) {
  const auto& ns = c.ns;
  py::object Tensor = ns.torch().attr("Tensor");
  py::list weights;
  for (py::handle x : qh::range(window_size)) {
    // exp(-(x - window_size // 2) ** 2 / float(2 * sigma ** 2))
    py::object exp = ns["exp"];
    py::object numerator = qh::negative(qh::power(x - qh::floor_divide(window_size, py::int_(2)), py::int_(2)));
    py::object denominator = qh::to_float(py::int_(2) * qh::power(sigma, py::int_(2)));
    weights.append(exp(numerator / denominator));
  }
  py::object gauss = Tensor(weights);
  return gauss / gauss.attr("sum")();
}

py::object create_window(const qh::Call& c, py::object window_size, py::object channel) {
  const auto& ns = c.ns;
  py::object _1D_window = ns["gaussian"](window_size, 1.5).attr("unsqueeze")(1);
  py::object _2D_window =
      _1D_window.attr("mm")(_1D_window.attr("t")()).attr("float")().attr("unsqueeze")(0).attr("unsqueeze")(0);
  py::object Variable = ns["Variable"];
  return Variable(_2D_window.attr("expand")(channel, 1, window_size, window_size).attr("contiguous")());
}

}  // namespace

void define_gaussian_window(const qh::Namespace& ns) {
  qh::def(ns, "gaussian", {"window_size", "sigma"}, gaussian);
  qh::def(ns, "create_window", {"window_size", "channel"}, create_window);
}

}  // namespace morlith
