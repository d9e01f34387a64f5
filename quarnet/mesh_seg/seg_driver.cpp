#include "tessaron.hpp"

namespace tessaron {

py::object seg_scene_mesh(const qh::Namespace& ns) {
  return qh::method(ns, {"seg_scene_mesh", {qh::arg("self")}},
                    [](const qh::Call&) -> py::object { throw py::value_error("not built yet"); });
}

}  // namespace tessaron
