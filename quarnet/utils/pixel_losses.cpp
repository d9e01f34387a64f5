// l1_loss and l2_loss: the mean absolute and mean squared difference.
#include "morlith.hpp"

namespace morlith {
namespace {

py::object l1_loss(const qh::Call& c) {
  auto [network_output, gt] = c.unpack<2>();
  return c.ns["torch"].attr("abs")(network_output - gt).attr("mean")();
}

py::object l2_loss(const qh::Call& c) {
  auto [network_output, gt] = c.unpack<2>();
  return qh::power(network_output - gt, py::int_(2)).attr("mean")();
}

}  // namespace

void define_pixel_losses(const qh::Namespace& ns) {
  qh::def(ns, {"l1_loss", {qh::arg("network_output"), qh::arg("gt")}}, l1_loss);
  qh::def(ns, {"l2_loss", {qh::arg("network_output"), qh::arg("gt")}}, l2_loss);
}

}  // namespace morlith
