#include "tessaron.hpp"

namespace tessaron {

py::object process_and_visualize(const qh::Namespace& ns) {
  return qh::method(ns,
                    {"process_and_visualize_mesh_with_pointcloud_and_bbox",
                     {qh::arg("self"), qh::arg("all_pcd_cleaned"), qh::arg("all_bounding_boxes"), qh::arg("all_subdir")}},
                    [](const qh::Call&) -> py::object { throw py::value_error("not built yet"); });
}

}  // namespace tessaron
