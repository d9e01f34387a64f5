// The scene mesh as the cut step works on it: trimesh.load(mesh_file), with
//   - a note naming the file on any error of the load or the join;
//   - a Scene (a file of several geometries) joined into one mesh, its
//     geometries placed by the scene graph and concatenated in order;
//   - ValueError naming the file when there is no face to cut (a point
//     cloud, an empty mesh or a scene without meshes), before any output.
#include "tessaron.hpp"

namespace tessaron {
namespace {

py::object one_mesh(const qh::Namespace& ns, const py::object& scene) {
  py::object trimesh = ns.trimesh();
  py::list meshes;
  for (py::handle geometry : scene.attr("dump")()) {
    if (py::isinstance(geometry, trimesh.attr("Trimesh"))) meshes.append(geometry);
  }
  if (py::len(meshes) == 0) return scene;
  if (py::len(meshes) == 1) return meshes[0];
  return trimesh.attr("util").attr("concatenate")(meshes);
}

}  // namespace

py::object load_scene_mesh(const qh::Namespace& ns, const py::object& mesh_file) {
  py::object trimesh = ns.trimesh();
  py::object mesh = qh::with_note(
      [&] {
        py::object loaded = trimesh.attr("load")(mesh_file);
        return py::isinstance(loaded, trimesh.attr("Scene")) ? one_mesh(ns, loaded) : loaded;
      },
      [&](auto&) { return qh::cat("scene mesh ", mesh_file); });

  py::object faces = py::getattr(mesh, "faces", py::none());
  if (faces.is_none() || py::len(faces) == 0) {
    qh::raise(PyExc_ValueError, qh::cat("scene mesh has no faces: ", mesh_file, " (trimesh read a ",
                                        py::type::of(mesh).attr("__name__"), ")"));
  }
  return mesh;
}

}  // namespace tessaron
