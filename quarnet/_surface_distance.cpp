// Module quarnet._surface_distance: how far points lie from a mesh's surface
// (core mesh/surface_distance.hpp), for quarnet.mesh_fit.
#include "arrays.hpp"
#include "host.hpp"
#include "quarnet/mesh/surface_distance.hpp"

namespace {

namespace py = pybind11;
namespace qh = quarnet::host;

constexpr const char* kDoc =
    "Per point of `points` (N x 3): the exact distance to the nearest face of the mesh of\n"
    "`vertices` (V x 3) and `faces` (F x 3 vertex ids) when some face lies within `reach`,\n"
    "inf otherwise (also for points that are not finite). A float64 array of N values.";

py::object distances(const qh::Call& c, py::object vertices, py::object faces, py::object points, py::object reach) {
  const qh::F64Array v = qh::f64_array(c.ns.np(), vertices), p = qh::f64_array(c.ns.np(), points);
  const qh::I64Array f = qh::i64_array(c.ns.np(), faces);
  if ((v.size() && !qh::has_rows_of_three(v)) || (f.size() && !qh::has_rows_of_three(f)) ||
      (p.size() && !qh::has_rows_of_three(p)))
    qh::raise(PyExc_ValueError, py::str("vertices, faces and points must be arrays of rows of three"));
  const double r = qh::to_float(reach).cast<double>();
  const quarnet::mesh::IndexedMesh mesh = qh::indexed_mesh(v, f);
  const std::span<const double> at(p.data(), static_cast<std::size_t>(p.size()));
  return qh::to_array(qh::without_gil([&] { return quarnet::mesh::distances_to_surface(mesh, at, r); }));
}

}  // namespace

QUARNET_MODULE(_surface_distance, ns) {
  ns.import("numpy", "np");
  qh::def(ns, "distances", {"vertices", "faces", "points", "reach"}, distances, kDoc);
}
