// Module quarnet.mesh_seg._box_tree: the face search's R-tree and nearest-
// vertex distances on their own, so that they can be checked against rtree's
// index built from the same boxes and SciPy's k-d tree of the same points
// (the tests and scripts/canary.sh do).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <limits>
#include <vector>

#include "arrays.hpp"
#include "quarnet/spatial/box_tree.hpp"
#include "quarnet/spatial/nearest_point.hpp"
#include "trimesh_native.hpp"

namespace py = pybind11;
namespace spatial = quarnet::spatial;

namespace {

using Corners = quarnet::host::F64Array;

std::span<const double> corners(const Corners& a, const char* what) {
  if (a.ndim() != 2 || a.shape(1) != tessaron::kTrianglesTree.dimension)
    throw py::value_error(std::string(what) + " must be (n, 3)");
  return {a.data(), static_cast<std::size_t>(a.size())};
}

// (ids, counts) as rtree's Index.intersection_v gives them for an index of
// box k = (mins[k], maxs[k]) under id k, each query's ids cut to `limit`.
py::tuple intersecting(const Corners& mins, const Corners& maxs, const Corners& query_mins, const Corners& query_maxs,
                       long long limit, unsigned threads) {
  const auto lo = corners(mins, "mins"), hi = corners(maxs, "maxs");
  const auto qlo = corners(query_mins, "query_mins"), qhi = corners(query_maxs, "query_maxs");
  if (qlo.size() != qhi.size()) throw py::value_error("query_mins and query_maxs must hold as many rows");
  const std::size_t head = limit < 0 ? std::numeric_limits<std::size_t>::max() : static_cast<std::size_t>(limit);
  std::vector<std::int64_t> ids;
  std::vector<std::uint64_t> counts;
  {
    py::gil_scoped_release release;
    const auto tree = spatial::BoxTree::bulk_load(tessaron::kTrianglesTree, lo, hi, threads);
    for (std::size_t q = 0; q < qlo.size() / 3; ++q) {
      std::uint64_t found = 0;
      if (head > 0) {
        tree.search(&qlo[3 * q], &qhi[3 * q], [&](std::int64_t id) {
          ids.push_back(id);
          return ++found < head;
        });
      }
      counts.push_back(found);
    }
  }
  py::array_t<std::int64_t> id_array(static_cast<py::ssize_t>(ids.size()), ids.data());
  py::array_t<std::uint64_t> count_array(static_cast<py::ssize_t>(counts.size()), counts.data());
  return py::make_tuple(id_array, count_array);
}

// cKDTree(points).query(queries)[0], as the face search computes it.
py::array_t<double> nearest(const Corners& points, const Corners& queries) {
  const auto from = corners(points, "points"), to = corners(queries, "queries");
  py::array_t<double> out(static_cast<py::ssize_t>(to.size() / 3));
  double* d = out.mutable_data();
  {
    py::gil_scoped_release release;
    const spatial::NearestPoint vertices(from);
    for (std::size_t k = 0; k < to.size() / 3; ++k) d[k] = *vertices.distance(&to[3 * k]);
  }
  return out;
}

}  // namespace

PYBIND11_MODULE(_box_tree, m) {
  m.doc() = "The face search's R-tree and nearest-vertex distances, for checking them against rtree's and SciPy's.";
  const auto& shape = tessaron::kTrianglesTree;
  m.attr("SHAPE") = py::dict(py::arg("dimension") = shape.dimension, py::arg("leaf_capacity") = shape.leaf_capacity,
                             py::arg("index_capacity") = shape.index_capacity,
                             py::arg("fill_factor") = shape.fill_factor);
  m.def("intersecting", &intersecting, py::arg("mins"), py::arg("maxs"), py::arg("query_mins"), py::arg("query_maxs"),
        py::arg("limit") = -1, py::arg("threads") = 1,
        "(ids, counts) of the stored boxes each query box meets, in search order, at most `limit` per query "
        "(all where negative), for the tree of box k = (mins[k], maxs[k]) under id k, built on `threads` threads.");
  m.def("nearest", &nearest, py::arg("points"), py::arg("queries"),
        "The distance from each query to the nearest point, as cKDTree(points).query(queries)[0] gives it.");
}
