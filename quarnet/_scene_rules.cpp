// Module quarnet._scene_rules: the rules of a scene's files that the modules
// follow (scene_rules.hpp), for the package's Python code.
#include "host.hpp"
#include "quarnet/errors.hpp"
#include "quarnet/io/file.hpp"
#include "scene_rules.hpp"

namespace {

namespace py = pybind11;
namespace qh = quarnet::host;

constexpr const char* kObjectFoldersDoc =
    "The object folders of a mask folder, in listing order: its entries that are\n"
    "folders, links followed, as the modules walk them (remain.ply and other files\n"
    "are none).";
constexpr const char* kImageIdDoc =
    "The image id of a mask's file name or of an image's name in the sparse model: the\n"
    "name without its folder and its last extension, read as a decimal integer (leading\n"
    "zeros allowed); ValueError when it is none. The model's own image ids play no part.";
constexpr const char* kJoinedSceneMeshDoc =
    "What trimesh.load gave for a scene mesh file, as the segmentation cuts it: a\n"
    "Scene's meshes placed by its graph and concatenated in order (the one mesh\n"
    "itself when there is one); a Scene without meshes, and anything else, as it is.";
constexpr const char* kDepthFileDoc = "The depth map of view image_id: depth_folder/<image_id>.npy.";
constexpr const char* kWithDepthDoc =
    "The rows of an N x 3 array of camera-frame points whose depth z is above 0 and\n"
    "finite (0 < z < inf), in their order: the points the segmentation lifts.";
constexpr const char* kRequireRegularFileDoc =
    "Opens path for reading and closes it, as the modules open the files they read: a\n"
    "FIFO, socket or device is refused unopened (ValueError '<path>: a FIFO, not a\n"
    "regular file'); OSError names a file that is missing, a folder or unreadable.";

py::object object_folders(const qh::Call& c, py::object mask_path) {
  py::list names;
  qh::for_each_object_folder(c.ns, mask_path, [&](const py::object& name, const py::object&) { names.append(name); });
  return names;
}

py::object image_id(const qh::Call& c, py::object name) { return qh::image_id(c.ns, name); }

py::object depth_file(const qh::Call& c, py::object depth_folder, py::object id) {
  return qh::depth_file(c.ns, depth_folder, id);
}

py::object with_depth(const qh::Call&, py::object points) { return qh::with_depth(points); }

py::object joined_scene_mesh(const qh::Call&, py::object loaded) {
  return qh::joined_scene_mesh(py::module_::import("trimesh"), loaded);
}

py::object require_regular_file(const qh::Call&, py::object path) {
  const std::string fs_path = qh::fs_encode(path);
  try {
    qh::core_io([&] { quarnet::io::open_regular_file(fs_path); }, path);
  } catch (const quarnet::FormatError& e) {
    qh::raise(PyExc_ValueError, qh::cat(qh::fs_decode(fs_path), ": ", e.what()));
  }
  return py::none();
}

}  // namespace

QUARNET_MODULE(_scene_rules, ns) {
  ns.import("os");
  ns.set("DEPTHS", py::str(qh::kDepths));
  ns.set("SPARSE", py::str(qh::kSparse));
  ns.set("SUB_MESH", py::str(qh::kSubMesh));
  ns.set("SUB_PCD", py::str(qh::kSubPcd));
  ns.set("REMAIN", py::str(qh::kRemain));
  qh::def(ns, "object_folders", {"mask_path"}, object_folders, kObjectFoldersDoc);
  qh::def(ns, "image_id", {"name"}, image_id, kImageIdDoc);
  qh::def(ns, "depth_file", {"depth_folder", "image_id"}, depth_file, kDepthFileDoc);
  qh::def(ns, "with_depth", {"points"}, with_depth, kWithDepthDoc);
  qh::def(ns, "joined_scene_mesh", {"loaded"}, joined_scene_mesh, kJoinedSceneMeshDoc);
  qh::def(ns, "require_regular_file", {"path"}, require_regular_file, kRequireRegularFileDoc);
}
