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
// resumed run goes on exactly as one uninterrupted run.
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

void write_remain(const qh::Namespace& ns, const py::object& mask_path, py::object working) {
  // With every face taken, remain.ply still replaces any earlier remainder.
  if (working.is_none()) working = ns.trimesh().attr("Trimesh")();
  py::object path = ns.os_path().join(mask_path, qh::kRemain);
  StagedFiles files(ns);
  export_mesh(ns, working, files.stage(path), path);
  files.commit();
}

namespace {

py::object cut_and_export(const qh::Call& c, py::object self, py::object all_pcd_cleaned, py::object all_bounding_boxes,
                          py::object all_subdir) {
  const auto& ns = c.ns;
  py::object mask_path = self.attr("mask_path");

  py::object mesh_trimesh = load_scene_mesh(ns, self.attr("mesh_file"));

  for (py::handle item : qh::zip(all_pcd_cleaned, all_bounding_boxes, all_subdir)) {
    const auto values = qh::unpack(item, 3);
    const py::object &pcd = values[0], &bbox = values[1], &subdir = values[2];
    ns.print(qh::cat("Processing point cloud with ", py::len(pcd.attr("points")), " points and bbox ", bbox, "."));
    const ObjectFiles files = object_files(ns, mask_path, subdir);

    if (finished(ns, files)) {
      mesh_trimesh = without_finished_faces(ns, mesh_trimesh, pcd, files.sub_mesh);
      continue;
    }
    if (mesh_trimesh.is_none()) {  // an earlier object took every face
      ns.print(qh::cat("No faces left in the mesh for ", files.name, ", skipping."));
      continue;
    }

    py::object nearby_faces = ns["find_nearby_faces"](mesh_trimesh, pcd);
    ns.print(qh::cat("找到的近邻面片数量: ", py::len(nearby_faces)));
    if (py::len(nearby_faces) == 0) ns.print("未找到符合条件的面片，请尝试调整 threshold");

    const auto parts = qh::unpack(ns["save_nearby_faces_as_ply"](mesh_trimesh, nearby_faces), 2);
    const py::object &sub_mesh = parts[0], &remain_mesh = parts[1];
    if (sub_mesh.is_none()) continue;  // nothing to write; the working mesh stays as it is

    write_object(ns, sub_mesh, pcd, files);
    mesh_trimesh = remain_mesh;
    ns.print("finish seg part", files.name, "save ply ", files.sub_mesh);
  }
  write_remain(ns, mask_path, mesh_trimesh);
  return py::none();
}

}  // namespace

py::object process_and_visualize(const qh::Namespace& ns) {
  return qh::function(ns, "process_and_visualize_mesh_with_pointcloud_and_bbox",
                    {"self", "all_pcd_cleaned", "all_bounding_boxes", "all_subdir"}, cut_and_export);
}

}  // namespace tessaron
