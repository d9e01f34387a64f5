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
// gigabytes in all. One full collection before the search or the cut of a
// large mesh (once per mesh) frees them when it matters; it costs tens of
// milliseconds, little beside the work on such a mesh, and nothing where the
// host has disabled the collector.
#include "trimesh_native.hpp"

namespace tessaron {
namespace {

// The mesh collected for last (a weak reference; leaked at exit like any
// module-level state).
PyObject* last_collected = nullptr;

bool collected_for(const py::object& mesh) {
  if (last_collected == nullptr) return false;
  return PyWeakref_GetObject(last_collected) == mesh.ptr();
}

}  // namespace

void release_dropped_objects() {
  PyGC_Collect();
  if (PyErr_Occurred()) throw py::error_already_set();
}

void release_dropped_meshes(const py::object& mesh, std::size_t faces) {
  if (faces < kCollectFaces || collected_for(mesh)) return;
  PyObject* ref = PyWeakref_NewRef(mesh.ptr(), nullptr);
  if (ref == nullptr) {
    PyErr_Clear();  // a mesh that takes no weak reference is collected for every time
  } else {
    Py_XDECREF(last_collected);
    last_collected = ref;
  }
  release_dropped_objects();
}

}  // namespace tessaron
