// The rules of a scene's files that the modules follow, one home each; the
// package's Python code reads them through quarnet._scene_rules.
//
//   <root>/depths, <root>/sparse/0        a scene's depth maps and sparse model
//   <mask_path>/<object>/<image id>.png   an object folder's masks; the sparse
//                                         model's image <image id>.png is its view
//   <depth_folder>/<image id>.npy         a view's depth map
//   <mask_path>/<object>/sub_mesh.ply     an object's cut (it marks the object done)
//   <mask_path>/<object>/sub_pcd.ply      its cleaned point cloud
//   <mask_path>/remain.ply                what no object took
//   the scene mesh file                   one mesh, a file of several joined
#pragma once

#include "host.hpp"

namespace quarnet::host {

inline constexpr const char* kDepths = "depths";
inline constexpr const char* kSparse = "sparse/0";  // one component, as the modules join it
inline constexpr const char* kSubMesh = "sub_mesh.ply";
inline constexpr const char* kSubPcd = "sub_pcd.ply";
inline constexpr const char* kRemain = "remain.ply";

// os.path.join(mask_path, name) when the mask folder's entry `name` is an
// object folder: a folder, links followed, as os.path.isdir through the
// namespace's os says. Any other entry (remain.ply and other files, pipes,
// dangling links) is no object: None.
py::object object_folder(const Namespace& ns, py::handle mask_path, py::handle name);

namespace detail {
template <class MaskPath, class Visit>
void for_each_object_folder(const Namespace& ns, MaskPath&& mask_path, Visit&& visit) {
  for (py::handle entry : ns.os().listdir(mask_path())) {
    py::object path = object_folder(ns, mask_path(), entry);
    if (!path.is_none()) visit(py::reinterpret_borrow<py::object>(entry), path);
  }
}
}  // namespace detail

// visit(name, path) for each object folder of the mask folder, in the order
// the namespace's os.listdir gives them; each entry is tested just before
// its visit, so what an earlier visit leaves in the folder is seen.
template <class Visit>
void for_each_object_folder(const Namespace& ns, py::handle mask_path, Visit&& visit) {
  detail::for_each_object_folder(ns, [&] { return mask_path; }, visit);
}
// The same for the mask folder an object holds as `attribute`, read for the
// listing and again for each entry, as os.path.join(self.mask_path, name)
// in a loop reads it (a visit may rebind it).
template <class Visit>
void for_each_object_folder(const Namespace& ns, py::handle owner, const char* attribute, Visit&& visit) {
  detail::for_each_object_folder(ns, [&] { return py::object(owner.attr(attribute)); }, visit);
}

// What trimesh.load gave for the scene mesh file, as one mesh: a Scene (a
// file of several geometries) joined, its meshes placed by the scene graph
// and concatenated in order; a Scene without meshes, and anything else, as
// it is. `trimesh` is the trimesh module the caller reaches.
py::object joined_scene_mesh(py::handle trimesh, py::handle loaded);

// Which view a file is, one rule for a mask's name and for an image's name
// in the sparse model: the image id is the file name's stem read as a decimal
// integer, int(os.path.splitext(os.path.basename(name))[0]). Leading zeros
// are allowed, and a folder part (cam0/00001.png, as multi-camera models name
// images) is no part of it; the sparse model's own image ids play no part.
// int's ValueError for a name that is no id.
py::object image_id(const Namespace& ns, py::handle name);

// The depth map of a view: os.path.join(depth_folder, f"{image_id}.npy").
py::object depth_file(const Namespace& ns, py::handle depth_folder, py::handle image_id);

// points[(points[:, 2] > 0) & (points[:, 2] < inf)]: the camera-frame points
// that have a depth (0, NaN and infinite depths have none), in their order.
py::object with_depth(py::handle points);

}  // namespace quarnet::host
