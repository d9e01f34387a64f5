// The scene mesh as the cut step works on it: trimesh.load(mesh_file), read
// after a run of the cycle collector (meshes read before and let go of, the
// command's own check of the file say, are freed first), with
//   - a note naming the file on any error of the load or the join;
//   - a Scene (a file of several geometries) joined into one mesh
//     (scene_rules.hpp);
//   - ValueError naming the file when there is no face to cut (a point
//     cloud, an empty mesh or a scene without meshes), before any output.
#include "scene_rules.hpp"
#include "tessaron.hpp"
#include "trimesh_native.hpp"

namespace tessaron {

py::object load_scene_mesh(const qh::Namespace& ns, const py::object& mesh_file) {
  py::object trimesh = ns.trimesh();
  release_dropped_objects();
  py::object mesh = qh::with_note([&] { return qh::joined_scene_mesh(trimesh, trimesh.attr("load")(mesh_file)); },
                                  [&](auto&) { return qh::cat("scene mesh ", mesh_file); });

  py::object faces = py::getattr(mesh, "faces", py::none());
  if (faces.is_none() || py::len(faces) == 0) {
    qh::raise(PyExc_ValueError, qh::cat("scene mesh has no faces: ", mesh_file, " (trimesh read a ",
                                        py::type::of(mesh).attr("__name__"), ")"));
  }
  return mesh;
}

}  // namespace tessaron
