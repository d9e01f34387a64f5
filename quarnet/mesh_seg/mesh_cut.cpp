// SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox: cuts the
// scene mesh object after object (each from what the earlier ones left) and
// writes each object's sub_mesh.ply and sub_pcd.ply, then remain.ply.
//
// sub_mesh.ply marks an object as done, so it must never stand for
// incomplete output: the files are staged (staged_files.hpp), checked and
// renamed into place, the object's sub_mesh.ply last. A failed write keeps
// its error and gains a note naming the file it was for (the error itself
// names the temporary file, which is removed).
//
// A finished object is skipped, and its faces leave the working mesh as they
// did when it was cut: found from its sub_mesh.ply, and again from its cloud
// where the file's corners cannot tell them (finished_objects.cpp), so a
// resumed run goes on exactly as one uninterrupted run. The loop is the one
// of every cut (cut_loop.cpp); this file gives it the specified lines.
#include <vector>

#include "scene_rules.hpp"
#include "staged_files.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

// mesh.export(temp), checked, for the file staged for `path`.
void export_mesh(const qh::Namespace& ns, const py::object& mesh, const py::object& temp, const py::object& path) {
  qh::with_note(
      [&] {
        mesh.attr("export")(temp);
        require_whole_ply(temp);
      },
      [&](auto&) { return writing(path); });
}

}  // namespace

ObjectFiles object_files(const qh::Namespace& ns, const py::object& mask_path, const py::object& subdir) {
  const qh::OsPath os_path = ns.os_path();
  py::object name = qh::to_str(subdir);
  return {name, os_path.join(mask_path, name, qh::kSubMesh), os_path.join(mask_path, name, qh::kSubPcd)};
}

bool finished(const qh::Namespace& ns, const ObjectFiles& files) {
  if (!ns.os_path().exists(files.sub_mesh)) return false;
  ns.print(qh::cat("Sub-mesh already exists at ", files.sub_mesh, ", skipping."));
  return true;
}

void write_object(const qh::Namespace& ns, const py::object& sub_mesh, const py::object& pcd, const ObjectFiles& out) {
  const py::object &sub_mesh_path = out.sub_mesh, &sub_pcd_path = out.sub_pcd;
  StagedFiles files(ns);
  py::object pcd_temp = files.stage(sub_pcd_path);
  py::object mesh_temp = files.stage(sub_mesh_path);  // the marker goes in place last
  export_mesh(ns, sub_mesh, mesh_temp, sub_mesh_path);
  qh::with_note(
      [&] {
        py::object written = ns.o3d().attr("io").attr("write_point_cloud")(pcd_temp, pcd);
        // A failed write that left a short file says why (a full disk, say).
        if (qh::truthy(written) || ns.os_path().exists(pcd_temp)) {
          require_whole_ply(pcd_temp);
        }
        if (!qh::truthy(written)) qh::raise(PyExc_OSError, qh::cat("cannot write point cloud ", sub_pcd_path));
      },
      [&](auto&) { return writing(sub_pcd_path); });
  files.commit();
}

py::object write_remain(const qh::Namespace& ns, const py::object& mask_path, py::object working) {
  // With every face taken, remain.ply still replaces any earlier remainder.
  if (working.is_none()) working = ns.trimesh().attr("Trimesh")();
  py::object path = ns.os_path().join(mask_path, qh::kRemain);
  StagedFiles files(ns);
  export_mesh(ns, working, files.stage(path), path);
  files.commit();
  return path;
}

namespace {

// The specified cut's lines and choices: the faces near each object's cloud.
class NearbyFaces : public CutMode {
 public:
  NearbyFaces(const qh::Namespace& ns, const py::object& clouds, const py::object& boxes, const py::object& subdirs)
      : ns_(ns) {
    for (py::handle item : qh::zip(clouds, boxes, subdirs)) {
      auto values = qh::unpack(item, 3);
      objects_.push_back({std::move(values[0]), std::move(values[1]), std::move(values[2])});
    }
  }

  std::size_t count() const override { return objects_.size(); }
  py::object subdir(std::size_t k) const override { return objects_[k].subdir; }
  py::object cloud(std::size_t k) const override { return objects_[k].pcd; }

  void visit(std::size_t k) override {
    const Object& o = objects_[k];
    ns_.print(qh::cat("Processing point cloud with ", py::len(o.pcd.attr("points")), " points and bbox ", o.bbox, "."));
  }
  FinishedFaces finished(std::size_t k, const Working& working, const ObjectFiles& files, SceneMesh* check) override {
    return marker_faces(ns_, working.mesh, objects_[k].pcd, files.sub_mesh, check);
  }
  py::object choose(std::size_t k, const Working& working, const ObjectFiles& files, py::object& reason) override {
    if (working.mesh.is_none()) {  // an earlier object took every face
      ns_.print(qh::cat("No faces left in the mesh for ", files.name, ", skipping."));
      reason = py::str("no faces left");
      return py::none();
    }
    py::object nearby_faces = ns_["find_nearby_faces"](working.mesh, objects_[k].pcd);
    ns_.print(qh::cat("找到的近邻面片数量: ", py::len(nearby_faces)));
    if (py::len(nearby_faces) == 0) ns_.print("未找到符合条件的面片，请尝试调整 threshold");
    reason = py::str("no face near its points");  // should the cut give no sub-mesh
    return nearby_faces;
  }
  void written(std::size_t, const ObjectFiles& files, const py::object&) override {
    ns_.print("finish seg part", files.name, "save ply ", files.sub_mesh);
  }

 private:
  struct Object {
    py::object pcd, bbox, subdir;
  };
  const qh::Namespace& ns_;
  std::vector<Object> objects_;
};

void cut(const qh::Namespace& ns, const py::object& scene, const py::object& clouds, const py::object& boxes,
         const py::object& subdirs, const py::object& record) {
  py::object mask_path = scene.attr("mask_path");
  py::object mesh_file = scene.attr("mesh_file");
  py::object mesh = load_scene_mesh(ns, mesh_file);
  NearbyFaces mode(ns, clouds, boxes, subdirs);
  SceneMesh scene_mesh(ns, mesh_file);  // read again only for a check that needs it
  cut_objects(ns, mask_path, std::move(mesh), mode, record, scene_mesh);
}

py::object cut_and_export(const qh::Call& c, py::object self, py::object all_pcd_cleaned, py::object all_bounding_boxes,
                          py::object all_subdir) {
  cut(c.ns, self, all_pcd_cleaned, all_bounding_boxes, all_subdir, py::none());
  return py::none();
}

py::object recorded_cut(const qh::Call& c, py::object scene, py::object clouds, py::object boxes, py::object subdirs,
                        py::object record) {
  cut(c.ns, scene, clouds, boxes, subdirs, record);
  return py::none();
}

}  // namespace

py::object process_and_visualize(const qh::Namespace& ns) {
  return qh::function(ns, "process_and_visualize_mesh_with_pointcloud_and_bbox",
                    {"self", "all_pcd_cleaned", "all_bounding_boxes", "all_subdir"}, cut_and_export);
}

void define_recorded_cut(const qh::Namespace& ns) {
  qh::def(ns, "_cut_objects", {"scene", "clouds", "boxes", "subdirs", "record"}, recorded_cut);
}

}  // namespace tessaron
