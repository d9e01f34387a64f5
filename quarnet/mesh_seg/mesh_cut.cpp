// SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox: cuts the
// scene mesh object after object (each from what the earlier ones left) and
// writes each object's sub_mesh.ply and sub_pcd.ply, then remain.ply.
//
// sub_mesh.ply marks an object as done, so it must never stand for
// incomplete output: every file is written under a temporary name beside its
// final one and renamed into place, the object's sub_mesh.ply last. A failed
// write keeps its error and gains a note naming the file it was for (the
// error itself names the temporary file, which is removed).
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "tessaron.hpp"

namespace tessaron {
namespace {

// ".<name>.tmp-<random><ext>" beside `path`; the extension stays last so the
// writers still pick the file type from the name.
py::object temp_path_beside(const qh::Namespace& ns, const py::object& path) {
  static std::mt19937_64 rng{std::random_device{}()};
  char suffix[16];
  std::snprintf(suffix, sizeof suffix, "%012llx", static_cast<unsigned long long>(rng() & 0xffffffffffffULL));
  py::object os_path = ns["os"].attr("path");
  py::object base = os_path.attr("basename")(path);
  py::object ext = os_path.attr("splitext")(base)[py::int_(1)];
  return os_path.attr("join")(os_path.attr("dirname")(path), qh::cat(".", base, ".tmp-", suffix, ext));
}

py::str writing(const py::object& path) { return qh::cat("while writing ", path); }

// Files written under temporary names, put in place together once all are
// complete, or removed if anything fails first.
class StagedFiles {
 public:
  explicit StagedFiles(const qh::Namespace& ns) : ns_(ns) {}
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;
  ~StagedFiles() {
    if (files_.empty()) return;
    // Leaving on an error: drop the partial files, keep the error as it is.
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);
    for (const auto& f : files_) {
      try {
        py::object os = ns_["os"];
        if (qh::truthy(os.attr("path").attr("exists")(f.temp))) os.attr("remove")(f.temp);
      } catch (py::error_already_set&) {
      }
    }
    PyErr_Restore(type, value, trace);
  }

  // A temporary name for `path`, renamed into place by commit().
  py::object stage(const py::object& path) {
    files_.push_back({temp_path_beside(ns_, path), path});
    return files_.back().temp;
  }

  // Flushes each file to disk and renames it into place, in staging order.
  void commit() {
    py::object os = ns_["os"];
    for (const auto& f : files_) {
      qh::with_note(
          [&] {
            py::object fd = os.attr("open")(f.temp, os.attr("O_RDONLY"));
            try {
              os.attr("fsync")(fd);
            } catch (py::error_already_set&) {
              os.attr("close")(fd);
              throw;
            }
            os.attr("close")(fd);
          },
          [&](auto&) { return writing(f.path); });
    }
    while (!files_.empty()) {
      os.attr("replace")(files_.front().temp, files_.front().path);
      files_.erase(files_.begin());
    }
  }

 private:
  struct File {
    py::object temp, path;
  };
  const qh::Namespace& ns_;
  std::vector<File> files_;
};

void write_object(const qh::Namespace& ns, const py::object& sub_mesh, const py::object& pcd,
                  const py::object& sub_mesh_path, const py::object& sub_pcd_path) {
  StagedFiles files(ns);
  py::object pcd_temp = files.stage(sub_pcd_path);
  py::object mesh_temp = files.stage(sub_mesh_path);  // the marker goes in place last
  qh::with_note([&] { sub_mesh.attr("export")(mesh_temp); }, [&](auto&) { return writing(sub_mesh_path); });
  py::object written = qh::with_note([&] { return ns["o3d"].attr("io").attr("write_point_cloud")(pcd_temp, pcd); },
                                     [&](auto&) { return writing(sub_pcd_path); });
  if (!qh::truthy(written)) qh::raise(PyExc_OSError, qh::cat("cannot write point cloud ", sub_pcd_path));
  files.commit();
}

void write_mesh(const qh::Namespace& ns, const py::object& mesh, const py::object& path) {
  StagedFiles files(ns);
  py::object temp = files.stage(path);
  qh::with_note([&] { mesh.attr("export")(temp); }, [&](auto&) { return writing(path); });
  files.commit();
}

py::object cut_and_export(const qh::Call& c, py::object self, py::object all_pcd_cleaned, py::object all_bounding_boxes,
                          py::object all_subdir) {
  const auto& ns = c.ns;
  py::object join = ns["os"].attr("path").attr("join");
  py::object mask_path = self.attr("mask_path");

  py::object mesh_trimesh = load_scene_mesh(ns, self.attr("mesh_file"));

  for (py::handle item : ns["zip"](all_pcd_cleaned, all_bounding_boxes, all_subdir)) {
    const auto values = qh::unpack(item, 3);
    const py::object &pcd = values[0], &bbox = values[1], &subdir = values[2];
    ns.print(qh::cat("Processing point cloud with ", py::len(pcd.attr("points")), " points and bbox ", bbox, "."));
    py::object name = ns["str"](subdir);
    py::object sub_mesh_path = join(mask_path, name, "sub_mesh.ply");
    py::object sub_pcd_path = join(mask_path, name, "sub_pcd.ply");

    if (qh::truthy(ns["os"].attr("path").attr("exists")(sub_mesh_path))) {
      ns.print(qh::cat("Sub-mesh already exists at ", sub_mesh_path, ", skipping."));
      continue;
    }
    if (mesh_trimesh.is_none()) {  // an earlier object took every face
      ns.print(qh::cat("No faces left in the mesh for ", name, ", skipping."));
      continue;
    }

    py::object nearby_faces = ns["find_nearby_faces"](mesh_trimesh, pcd);
    ns.print(qh::cat("找到的近邻面片数量: ", py::len(nearby_faces)));
    if (py::len(nearby_faces) == 0) ns.print("未找到符合条件的面片，请尝试调整 threshold");

    const auto parts = qh::unpack(ns["save_nearby_faces_as_ply"](mesh_trimesh, nearby_faces), 2);
    const py::object &sub_mesh = parts[0], &remain_mesh = parts[1];
    if (sub_mesh.is_none()) continue;  // nothing to write; the working mesh stays as it is

    write_object(ns, sub_mesh, pcd, sub_mesh_path, sub_pcd_path);
    mesh_trimesh = remain_mesh;
    ns.print("finish seg part", name, "save ply ", sub_mesh_path);
  }

  // With every face taken, remain.ply still replaces any earlier remainder.
  if (mesh_trimesh.is_none()) mesh_trimesh = ns["trimesh"].attr("Trimesh")();
  write_mesh(ns, mesh_trimesh, join(mask_path, "remain.ply"));
  return py::none();
}

}  // namespace

py::object process_and_visualize(const qh::Namespace& ns) {
  return qh::method(ns, "process_and_visualize_mesh_with_pointcloud_and_bbox",
                    {"self", "all_pcd_cleaned", "all_bounding_boxes", "all_subdir"}, cut_and_export);
}

}  // namespace tessaron
