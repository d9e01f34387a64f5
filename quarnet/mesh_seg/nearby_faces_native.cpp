// The native double of trimesh.proximity.nearby_faces(mesh, points):
//
//   rtree = mesh.triangles_tree          R-tree of every face's bounds, bulk
//                                         loaded by rtree/libspatialindex
//   kdtree = cKDTree(mesh.vertices[mesh.referenced_vertices])
//   d = kdtree.query(points)[0] + tol.merge
//   groups = rtree.intersection_v(points - d, points + d), split per point
//
// The face bounds, the referenced vertices and the query boxes are computed
// natively with the same (exact) arithmetic. The R-tree is the core's
// BoxTree, which holds the boxes in the nodes libspatialindex's bulk load
// gives them and answers in its search order; only the first candidates of
// each point are searched for. The nearest-vertex distances are the core's
// NearestPoint's, the very values the k-d tree returns; the few points it
// would take long to answer (far from every vertex, say) are asked of
// SciPy's k-d tree itself, built for them at the first. The R-tree is built
// on worker threads while the vertices are filed, once per call and done
// before the call returns.
#include <pybind11/numpy.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <thread>
#include <vector>

#include "native_path.hpp"
#include "quarnet/mesh/face_bounds.hpp"
#include "quarnet/parallel/run_tasks.hpp"
#include "quarnet/spatial/nearest_point.hpp"
#include "trimesh_native.hpp"

namespace tessaron {
namespace {

namespace native = quarnet::host::native;
namespace mesh_core = quarnet::mesh;
namespace parallel = quarnet::parallel;
namespace spatial = quarnet::spatial;

// rtree's index module, imported as trimesh's query imports it; null where
// it cannot be (trimesh's own call then meets the same failure).
py::object rtree_index() {
  try {
    return py::module_::import("rtree.index");
  } catch (py::error_already_set&) {
    return py::object();
  }
}

// rtree's batched query, where it has one (trimesh asks each box in turn
// otherwise, with the same answers).
bool batch_query_genuine() {
  py::object index = py::module_::import("rtree.index").attr("Index");
  return !py::hasattr(index, "intersection_v") ||
         native::class_attribute_defined_by("rtree.index", "Index", "intersection_v");
}

// The trimesh, rtree and SciPy code nearby_faces runs, each as its library
// defines it, at versions the table lists.
bool collaborators_genuine(const py::object& nearby_faces, const py::object& mesh) {
  if (!native::defined_by(nearby_faces, "trimesh.proximity", "nearby_faces")) return false;
  const py::dict globals = nearby_faces.attr("__globals__");
  return globals.contains("cKDTree") &&
         py::object(globals["cKDTree"]).is(py::module_::import("scipy.spatial").attr("cKDTree")) &&
         native::is_instance_of_exactly(mesh, "trimesh.base", "Trimesh") && rtree_index() &&
         native::proven("face search") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "triangles_tree") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "triangles") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "referenced_vertices") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "vertices") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "faces") &&
         native::defined_by(py::module_::import("trimesh.triangles").attr("bounds_tree"), "trimesh.triangles",
                            "bounds_tree") &&
         native::defined_by(py::module_::import("trimesh.util").attr("bounds_tree"), "trimesh.util", "bounds_tree") &&
         native::class_attribute_defined_by("rtree.index", "Index", "__init__") &&
         native::class_attribute_defined_by("rtree.index", "Index", "intersection") &&
         batch_query_genuine();
}

// trimesh.proximity.nearby_faces as the namespace reaches it; null where a
// lookup fails (trimesh's own call then meets the same failure).
py::object resolve_nearby_faces(const qh::Namespace& ns) {
  try {
    return ns.trimesh().attr("proximity").attr("nearby_faces");
  } catch (py::error_already_set&) {
    return py::object();
  }
}

}  // namespace

struct NearbyFacesQuery::State {
  std::optional<spatial::BoxTree> faces;         // the R-tree of the face bounds
  std::optional<spatial::NearestPoint> vertices;  // the referenced vertices
  py::array_t<double> kept;                      // the same, for the k-d tree
  py::object kd_tree_type, kd_tree;              // SciPy's cKDTree; its tree, once asked for
  double merge = 0.0;                            // tol.merge
};

namespace {

// Cells and points one point's nearest-vertex search may look at before the
// k-d tree answers it instead.
constexpr std::size_t kSearchBudget = 4096;

}  // namespace

NearbyFacesQuery::NearbyFacesQuery(std::unique_ptr<State> state) : state_(std::move(state)) {}
NearbyFacesQuery::~NearbyFacesQuery() = default;

std::unique_ptr<NearbyFacesQuery> NearbyFacesQuery::prepare(const qh::Namespace& ns, const py::object& mesh,
                                                            const py::object& points) {
  py::object nearby_faces = resolve_nearby_faces(ns);
  if (!nearby_faces || !collaborators_genuine(nearby_faces, mesh)) return nullptr;

  const auto point_view = native::array(points, native::ArrayRule(2).columns(3).of(native::float64).contiguous());
  const auto vertices = native::array(mesh.attr("vertices"),
                                      native::ArrayRule(2).columns(3).of(native::float64).library_owned().contiguous());
  const auto faces = native::array(mesh.attr("faces"),
                                   native::ArrayRule(2).columns(3).of(native::int64).library_owned().contiguous());
  if (!point_view || !vertices || !faces || faces->shape[0] == 0) return nullptr;

  const py::dict globals = nearby_faces.attr("__globals__");
  if (!globals.contains("tol")) return nullptr;
  const auto merge = native::plain_scalar(globals["tol"].attr("merge"), true);
  if (!merge) return nullptr;

  const mesh_core::IndexedMesh m{{vertices->typed<double>(), 3 * vertices->shape[0]},
                                 {faces->typed<std::int64_t>(), 3 * faces->shape[0]}};
  const std::span<const double> point_values{point_view->typed<double>(), 3 * point_view->shape[0]};
  const bool plain = qh::without_gil([&] {
    return m.face_count() <= spatial::BoxTree::kMaxBoxes && m.faces_in_range() &&
           mesh_core::all_finite(m.vertices) && mesh_core::all_finite(point_values);
  });
  if (!plain) return nullptr;

  auto state = std::make_unique<State>();
  state->merge = *merge;
  state->kd_tree_type = globals["cKDTree"];

  // The R-tree on a worker; the thread is joined before anything leaves.
  std::exception_ptr build_error;
  {
    std::jthread build([&] {
      try {
        const std::size_t face_count = m.face_count();
        std::vector<double> mins(3 * face_count), maxs(3 * face_count);
        mesh_core::face_bounds(m, mins, maxs);
        state->faces.emplace(
            spatial::BoxTree::bulk_load(kTrianglesTree, mins, maxs, parallel::hardware_threads()));
      } catch (...) {
        build_error = std::current_exception();
      }
    });

    std::vector<std::uint8_t> referenced(m.vertex_count());
    const std::size_t count = qh::without_gil([&] { return mesh_core::referenced_vertices(m, referenced); });
    state->kept = py::array_t<double>({static_cast<py::ssize_t>(count), py::ssize_t{3}});
    const std::span<double> kept{state->kept.mutable_data(), 3 * count};
    qh::without_gil([&] {
      mesh_core::gather_marked_rows(m.vertices, referenced, kept);
      state->vertices.emplace(kept);
    });
    qh::without_gil([&] { build.join(); });
  }
  if (build_error) std::rethrow_exception(build_error);
  return std::unique_ptr<NearbyFacesQuery>(new NearbyFacesQuery(std::move(state)));
}

std::size_t NearbyFacesQuery::add_groups(const py::object& batch, quarnet::mesh::FaceIdCollector& ids) const {
  const auto rows = native::array(batch, native::ArrayRule(2).columns(3).of(native::float64));
  if (!rows) throw std::logic_error("unexpected batch of points");

  const std::size_t n = rows->shape[0];
  std::vector<double> points(3 * n), distance(n);
  std::vector<std::size_t> deferred;  // rows the k-d tree answers
  qh::without_gil([&] {
    const auto plane = rows->as_2d();
    for (std::size_t k = 0; k < n; ++k) {
      for (std::size_t c = 0; c < 3; ++c) std::memcpy(&points[3 * k + c], plane.at(k, c), sizeof(double));
      const auto d = state_->vertices->distance(&points[3 * k], kSearchBudget);
      if (d) {
        distance[k] = *d;
      } else {
        deferred.push_back(k);
      }
    }
  });
  if (!deferred.empty()) {
    if (!state_->kd_tree) state_->kd_tree = state_->kd_tree_type(state_->kept);
    py::array_t<double> asked({static_cast<py::ssize_t>(deferred.size()), py::ssize_t{3}});
    for (std::size_t j = 0; j < deferred.size(); ++j)
      std::copy_n(&points[3 * deferred[j]], 3, asked.mutable_data() + 3 * j);
    py::object answered = state_->kd_tree.attr("query")(asked)[py::int_(0)];
    const auto d = native::array(answered, native::ArrayRule(1).of(native::float64));
    if (!d || d->shape[0] != deferred.size()) throw std::logic_error("unexpected k-d tree answer");
    for (std::size_t j = 0; j < deferred.size(); ++j)
      std::memcpy(&distance[deferred[j]], d->data + static_cast<std::ptrdiff_t>(j) * d->strides[0], sizeof(double));
  }

  std::vector<double> lo(3 * n), hi(3 * n);
  std::vector<std::int64_t> hits;
  std::vector<std::uint64_t> counts;
  qh::without_gil([&] {
    for (std::size_t k = 0; k < n; ++k) {
      const double radius = distance[k] + state_->merge;  // distance_vertex += tol.merge
      for (std::size_t c = 0; c < 3; ++c) {
        lo[3 * k + c] = points[3 * k + c] - radius;
        hi[3 * k + c] = points[3 * k + c] + radius;
      }
    }
    // Only the heads of the groups are kept: the search stops there.
    state_->faces->intersecting(lo, hi, quarnet::mesh::kMaxFacesPerPoint, hits, counts);
    std::size_t at = 0;
    for (const std::uint64_t count : counts) {
      const auto room = ids.append_group(static_cast<std::size_t>(count));
      std::copy_n(hits.begin() + static_cast<std::ptrdiff_t>(at), room.size(), room.begin());
      at += static_cast<std::size_t>(count);
    }
  });
  return n;
}

}  // namespace tessaron
