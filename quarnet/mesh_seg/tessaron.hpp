// The pieces of module quarnet.mesh_seg.Tessaron, one file each. Every piece
// defines its functions in the module namespace (or returns a method for the
// class SceneTessaron); Tessaron.cpp imports the collaborators and assembles
// the module.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

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

// seg_driver.cpp: SceneTessaron.seg_scene_mesh, and its two steps before the
// cut: the pose table keyed by image id (poses_dict), and every object
// folder's cleaned point cloud (extract_masked_pointclouds), in listing order,
// for the objects that yielded points
py::object seg_scene_mesh(const qh::Namespace& ns);
void define_object_clouds(const qh::Namespace& ns);  // _object_clouds, below
py::dict keyed_poses(const py::object& scene);
struct ObjectClouds {
  py::list bounding_boxes, clouds, subdirs;  // parallel: one entry per object with points
};
ObjectClouds extract_objects(const qh::Namespace& ns, const py::object& scene, const py::dict& poses_dict);

// mesh_cut.cpp: the output files of every cut. An object's files are
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
py::object write_remain(const qh::Namespace& ns, const py::object& mask_path, py::object working);  // its path

// mesh_cut.cpp: SceneTessaron.process_and_visualize_mesh_with_pointcloud_and_bbox, and _cut_objects below
py::object process_and_visualize(const qh::Namespace& ns);
void define_recorded_cut(const qh::Namespace& ns);

// The scene mesh as load_scene_mesh reads it, read at the first need only
// (or handed over when the caller holds it already).
class SceneMesh {
 public:
  SceneMesh(const qh::Namespace& ns, py::object mesh_file, py::object loaded = py::none())
      : ns_(ns), mesh_file_(std::move(mesh_file)), mesh_(std::move(loaded)) {}
  const py::object& get();

 private:
  const qh::Namespace& ns_;
  py::object mesh_file_, mesh_;
};

// finished_objects.cpp: a finished object's faces, from its marker
// sub_mesh.ply, against the working mesh (None when an earlier object took
// every face).
//
// `misplaced` counts the faces of the scene mesh on which the marker and the
// faces taken out for the object disagree: taken out but not in the file, in
// the file but left in the working mesh, or in the file but taken earlier in
// this run by another object (found in the scene mesh, read for it only
// then). Faces of the file that are no face of the mesh count for nothing, and
// a file that cannot be read holds none.
struct FinishedFaces {
  py::object ids;                         // working ids to take out, None for none
  std::optional<std::size_t> misplaced;  // when a check was asked for
};
// The default cut's choice (its lines printed): the marker's faces matched in
// the working mesh, or the object's cloud searched again (see the file);
// checked when `check` is given.
FinishedFaces marker_faces(const qh::Namespace& ns, const py::object& working, const py::object& pcd,
                           const py::object& sub_mesh_path, SceneMesh* check);
// The check alone, of faces `ids` (working ids) that a mode took out for the
// object; prints nothing.
std::size_t misplaced_faces(const qh::Namespace& ns, const py::object& working, const py::object& sub_mesh_path,
                            const py::object& ids, SceneMesh& scene);

// cut_loop.cpp: the one loop of every cut. For each object in order: a
// finished object (sub_mesh.ply exists) is skipped and the faces it took
// leave the working mesh; any other has its faces chosen by the mode, cut
// from the working mesh with the module's save_nearby_faces_as_ply, written
// (write_object), and the remainder goes on as the working mesh. remain.ply
// is written last (write_remain). A mode prints its own lines.
//
// The record of a run: when `record` is not None, its append(entry) receives
// one dict per object, after its files are in place (or it was skipped, or
// not cut), and one for remain.ply once written. Face ids are int64 arrays of
// ids in the scene mesh as read (the working mesh of the first object),
// ascending; None where they cannot be told (a stand-in cut that left a
// remainder of another size).
//   {"name": str(subdir), "status": "cut", "faces": n, "ids": ids, "sub_mesh": path, "sub_pcd": path}
//   {"name", "status": "skipped", "faces": n taken out, "ids", "misplaced": n (see FinishedFaces),
//    "sub_mesh", "sub_pcd"}
//   {"name", "status": "not cut", "reason": str, "sub_mesh", "sub_pcd"}
//   {"name": None, "status": "remain", "faces": n, "ids", "mesh_faces": faces of the scene mesh, "path": path}
// Without a record nothing is checked, read or kept beyond the cut itself.
//
// The working mesh as a mode sees it: the mesh (None once every face is
// taken), and the scene id of each of its faces, in order.
struct Working {
  const py::object& mesh;
  std::span<const std::int64_t> scene_ids;
};
class CutMode {
 public:
  virtual ~CutMode() = default;
  virtual std::size_t count() const = 0;  // objects
  virtual py::object subdir(std::size_t k) const = 0;
  virtual py::object cloud(std::size_t k) const = 0;
  virtual void visit(std::size_t) {}  // first, for every object
  // A finished object's working ids to take out (None for none), checked against its file when `check` is given.
  virtual FinishedFaces finished(std::size_t k, const Working& working, const ObjectFiles& files, SceneMesh* check) = 0;
  // The working ids object k takes, or None; `reason` says, for the record,
  // why nothing was taken (None, or an empty cut).
  virtual py::object choose(std::size_t k, const Working& working, const ObjectFiles& files, py::object& reason) = 0;
  virtual void written(std::size_t k, const ObjectFiles& files, const py::object& ids) = 0;
};
void cut_objects(const qh::Namespace& ns, const py::object& mask_path, py::object mesh, CutMode& mode,
                 const py::object& record, SceneMesh& scene);

// The cut of a mode that gives every face an owner (the whole-object cut;
// any mode that labels faces plugs in the same way):
//   - `mesh`: the scene mesh as load_scene_mesh reads it, the first working mesh;
//   - `owner`: one int32 per face of `mesh`, the index of the object in
//     `subdirs`/`clouds` that takes it, -1 for none (assign_faces_to_objects
//     gives such an array); a finished object's owned faces leave the working
//     mesh when it is skipped, so a resumed run writes what one run writes;
//   - `clouds`: each object's cloud, written as its sub_pcd.ply;
//   - `nothing(k, files)`: prints the mode's line for an object that owns no
//     face, and returns the reason kept in the record.
// A cut object prints "<name>: <n> faces, written to <sub_mesh.ply>". A
// mode's own run: load_scene_mesh, begin_run_record (its mode and parameters),
// extract_objects, its owners, then this with the record.
using NoFaces = std::function<py::object(std::size_t k, const ObjectFiles& files)>;
void cut_by_owner(const qh::Namespace& ns, const py::object& mask_path, const py::object& mesh, const py::list& clouds,
                  const py::list& subdirs, std::span<const std::int32_t> owner, const NoFaces& nothing,
                  const py::object& record);

// The run record of a run the module starts (quarnet.run_record, bound in
// the namespace as run_record): refuses a mask folder whose record names
// other parameters (ValueError, one line), writes what this run is run with
// (`mode`; `options` its parameters by name, such as radius), and returns
// the record to hand to the cut loop.
py::object begin_run_record(const qh::Namespace& ns, const py::object& scene, const char* mode, const py::dict& options);

// Private functions of the module, for the quarnet command (the record is
// any object with append, a list will do; nothing is checked or kept
// without one):
//   _object_clouds(scene)                 -> (clouds, boxes, subdirs): the extraction of
//                                            scene.seg_scene_mesh(), its lines printed
//   _cut_objects(scene, clouds, boxes, subdirs, record)
//                                          the cut of process_and_visualize_..., recorded
//   _cut_dense(scene, clouds, subdirs, radius, record)
//                                          the cut of seg_scene_mesh_dense, recorded
//   _write_staged(path, data)              bytes written as the outputs are (staged_files.hpp)
//   _remove_staged(path)                   the temporary files a stopped writer of `path` left; their count
void define_staged_files(const qh::Namespace& ns);  // the last two, in staged_files.cpp

// whole_objects.cpp: assign_faces_to_objects, seg_scene_mesh_dense and _cut_dense
void define_whole_objects(const qh::Namespace& ns);

}  // namespace tessaron
