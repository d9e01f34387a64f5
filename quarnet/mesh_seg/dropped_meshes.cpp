// Working meshes the cut has let go of, freed before the next large one is
// searched or cut.
//
// trimesh's meshes live in reference cycles (the visual, the ray and the
// proximity helpers point back at their mesh), so a mesh nobody holds keeps
// its arrays until the interpreter's cycle collector makes a full pass. A
// process that has imported numpy, Open3D, SciPy and trimesh holds some
// hundred thousand long-lived objects, and the collector's own rule then
// waits for tens of thousands of new ones: over the objects of a scene of
// millions of faces, one dropped remainder after another stays in memory,
// gigabytes in all. A full collection before the search or the cut, once the
// meshes met since the last one hold half a million faces in all (each mesh
// counted once; a large mesh alone is that many), bounds what waits to be
// freed to about that many faces' arrays; it costs tens of milliseconds,
// little beside the work on that many faces, and nothing where the host has
// disabled the collector.
#include "trimesh_native.hpp"

namespace tessaron {
namespace {

// The mesh counted last (a weak reference; leaked at exit like any
// module-level state), and the faces of the meshes counted since the last
// collection.
PyObject* last_counted = nullptr;
std::size_t uncollected_faces = 0;

bool counted(const py::object& mesh) {
  if (last_counted == nullptr) return false;
  return PyWeakref_GetObject(last_counted) == mesh.ptr();
}

}  // namespace

void release_dropped_objects() {
  uncollected_faces = 0;
  PyGC_Collect();
  if (PyErr_Occurred()) throw py::error_already_set();
}

void release_dropped_meshes(const py::object& mesh, std::size_t faces) {
  if (counted(mesh)) return;
  PyObject* ref = PyWeakref_NewRef(mesh.ptr(), nullptr);
  if (ref == nullptr) {
    PyErr_Clear();  // a mesh that takes no weak reference is counted every time
  } else {
    Py_XDECREF(last_counted);
    last_counted = ref;
  }
  uncollected_faces += faces;
  if (uncollected_faces >= kCollectFaces) release_dropped_objects();
}

}  // namespace tessaron
