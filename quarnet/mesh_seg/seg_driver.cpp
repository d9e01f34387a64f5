// SceneTessaron.seg_scene_mesh: extracts every object's point cloud from the
// mask folder's object folders, then cuts and writes all objects in one go.
#include "scene_rules.hpp"
#include "tessaron.hpp"

namespace tessaron {

py::dict keyed_poses(const py::object& scene) {
  py::dict poses_dict;
  for (py::handle entry : scene.attr("pose")) {
    const auto values = qh::unpack(entry, 3);
    poses_dict[values[0]] = py::make_tuple(values[1], values[2]);
  }
  return poses_dict;
}

ObjectClouds extract_objects(const qh::Namespace& ns, const py::object& scene, const py::dict& poses_dict) {
  ObjectClouds objects;
  ns.print("self.mask_path", scene.attr("mask_path"));

  // Outputs of earlier runs (remain.ply) and other files are no objects.
  qh::for_each_object_folder(ns, scene, "mask_path", [&](const py::object& subdir, const py::object& mask_dir) {
    ns.print(qh::cat("Files in ", subdir, ":"));
    // A pose missing for a mask may be the sparse model's fault: say which model.
    py::object extracted = qh::with_note(
        [&] { return ns["extract_masked_pointclouds"](mask_dir, scene.attr("depths_path"), poses_dict, scene.attr("K")); },
        [&](auto& e) -> py::object {
          if (!e.matches(PyExc_KeyError)) return py::object();
          const auto images = py::len(poses_dict);
          return qh::cat("the camera poses are those of the sparse model in ", scene.attr("sfm_path"), ", which holds ",
                         images, images == 1 ? " image" : " images");
        });
    const auto result = qh::unpack(extracted, 2);
    const py::object &pcd_cleaned = result[0], &bounding_box = result[1];
    if (qh::truthy(bounding_box)) {
      objects.bounding_boxes.append(bounding_box);
      objects.clouds.append(pcd_cleaned);
      objects.subdirs.append(subdir);
    }
  });
  return objects;
}

namespace {

py::object segment_scene(const qh::Call& c, py::object self) {
  const ObjectClouds objects = extract_objects(c.ns, self, keyed_poses(self));
  self.attr("process_and_visualize_mesh_with_pointcloud_and_bbox")(objects.clouds, objects.bounding_boxes,
                                                                    objects.subdirs);
  return py::none();
}

py::object object_clouds(const qh::Call& c, py::object scene) {
  const ObjectClouds objects = extract_objects(c.ns, scene, keyed_poses(scene));
  return py::make_tuple(objects.clouds, objects.bounding_boxes, objects.subdirs);
}

}  // namespace

void define_object_clouds(const qh::Namespace& ns) { qh::def(ns, "_object_clouds", {"scene"}, object_clouds); }

py::object seg_scene_mesh(const qh::Namespace& ns) {
  return qh::function(ns, "seg_scene_mesh", {"self"}, segment_scene);
}

}  // namespace tessaron
