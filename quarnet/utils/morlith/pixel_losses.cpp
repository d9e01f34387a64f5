// l1_loss and l2_loss: the mean absolute and mean squared difference.
#include "morlith.hpp"

namespace morlith {
namespace {

py::object l1_loss(const qh::Call& c, py::object network_output, py::object gt) {
  return c.ns.torch().attr("abs")(network_output - gt).attr("mean")();
}

py::object l2_loss(const qh::Call&, py::object network_output, py::object gt) {
  return qh::power(network_output - gt, py::int_(2)).attr("mean")();
}

}  // namespace

void define_pixel_losses(const qh::Namespace& ns) {
  qh::def(ns, "l1_loss", {"network_output", "gt"}, l1_loss);
  qh::def(ns, "l2_loss", {"network_output", "gt"}, l2_loss);
}

}  // namespace morlith
