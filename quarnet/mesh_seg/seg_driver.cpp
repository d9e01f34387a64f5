// SceneTessaron.seg_scene_mesh: extracts every object's point cloud from the
// mask folder's object folders, then cuts and writes all objects in one go.
#include "mask_folder.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

py::object segment_scene(const qh::Call& c, py::object self) {
  const auto& ns = c.ns;

  py::dict poses_dict;
  for (py::handle entry : self.attr("pose")) {
    const auto values = qh::unpack(entry, 3);
    poses_dict[values[0]] = py::make_tuple(values[1], values[2]);
  }

  py::list all_bounding_box, all_pcd_cleaned, all_subdir;
  py::object mask_path = self.attr("mask_path");
  ns.print("self.mask_path", mask_path);

  for (py::handle subdir : ns["os"].attr("listdir")(mask_path)) {
    // Outputs of earlier runs (remain.ply) and other files are no objects.
    py::object mask_dir = qh::object_folder(ns, mask_path, subdir);
    if (mask_dir.is_none()) continue;
    ns.print(qh::cat("Files in ", subdir, ":"));
    const auto result =
        qh::unpack(ns["extract_masked_pointclouds"](mask_dir, self.attr("depths_path"), poses_dict, self.attr("K")), 2);
    const py::object &pcd_cleaned = result[0], &bounding_box = result[1];
    if (qh::truthy(bounding_box)) {
      all_bounding_box.append(bounding_box);
      all_pcd_cleaned.append(pcd_cleaned);
      all_subdir.append(subdir);
    }
  }

  self.attr("process_and_visualize_mesh_with_pointcloud_and_bbox")(all_pcd_cleaned, all_bounding_box, all_subdir);
  return py::none();
}

}  // namespace

py::object seg_scene_mesh(const qh::Namespace& ns) {
  return qh::method(ns, "seg_scene_mesh", {"self"}, segment_scene);
}

}  // namespace tessaron
