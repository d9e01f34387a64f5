// The pieces of module quarnet.mesh_seg.Tessaron, one file each. Every piece
// defines its functions in the module namespace (or returns a method for the
// class SceneTessaron); Tessaron.cpp imports the collaborators and assembles
// the module.
#pragma once

#include "host.hpp"

namespace tessaron {

namespace py = pybind11;
namespace qh = quarnet::host;

// scene_setup.cpp: SceneTessaron.__init__ and process_extrinsics
py::object scene_init(const qh::Namespace& ns);
py::object process_extrinsics(const qh::Namespace& ns);

// depth_lifting.cpp: load_depth, backproject_depth_to_points
void define_depth_lifting(const qh::Namespace& ns);

// masked_pointclouds.cpp: extract_masked_pointclouds
void define_masked_pointclouds(const qh::Namespace& ns);

// face_search.cpp: find_nearby_faces; and its search as the cut step calls
// it (default batch size), without its printed lines
void define_face_search(const qh::Namespace& ns);
py::list nearby_face_ids(const qh::Namespace& ns, const py::object& mesh, const py::object& point_cloud);

// submesh.cpp: save_nearby_faces_as_ply
void define_submesh(const qh::Namespace& ns);

// scene_mesh.cpp: trimesh.load of the scene mesh, joined into one mesh with faces
py::object load_scene_mesh(const qh::Namespace& ns, const py::object& mesh_file);

// finished_objects.cpp: the working mesh without the faces of a finished
// object (its cloud `pcd`, its marker sub_mesh.ply), None when none is left
py::object without_finished_faces(const qh::Namespace& ns, const py::object& mesh, const py::object& pcd,
                                  const py::object& sub_mesh_path);

// mesh_cut.cpp: SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox
py::object process_and_visualize(const qh::Namespace& ns);

// seg_driver.cpp: SceneTessaron.seg_scene_mesh, and its two steps before the
// cut: the pose table keyed by image id (poses_dict), and every object
// folder's cleaned point cloud (extract_masked_pointclouds), in listing order,
// for the objects that yielded points
py::object seg_scene_mesh(const qh::Namespace& ns);
py::dict keyed_poses(const py::object& scene);
struct ObjectClouds {
  py::list bounding_boxes, clouds, subdirs;  // parallel: one entry per object with points
};
ObjectClouds extract_objects(const qh::Namespace& ns, const py::object& scene, const py::dict& poses_dict);

// mesh_cut.cpp: the output files of both cuts. An object's files are
// <mask_path>/<str(subdir)>/sub_mesh.ply and sub_pcd.ply; its sub_mesh.ply
// marks it finished ("Sub-mesh already exists at ..., skipping." is printed).
// The files are staged and put in place (staged_files.hpp); remain.ply holds
// the working mesh at the end, an empty mesh when the objects took every face.
struct ObjectFiles {
  py::object name, sub_mesh, sub_pcd;
};
ObjectFiles object_files(const qh::Namespace& ns, const py::object& mask_path, const py::object& subdir);
bool finished(const qh::Namespace& ns, const ObjectFiles& files);
void write_object(const qh::Namespace& ns, const py::object& sub_mesh, const py::object& pcd, const ObjectFiles& files);
void write_remain(const qh::Namespace& ns, const py::object& mask_path, py::object working);

// whole_objects.cpp: assign_faces_to_objects and seg_scene_mesh_dense
void define_whole_objects(const qh::Namespace& ns);

}  // namespace tessaron
