// find_nearby_faces: the faces of a mesh near each point of a cloud, through
// trimesh's candidate query in fixed-size batches; each point contributes at
// most its first 20 candidates. Where the native double of the query may
// stand in (trimesh_native.hpp) it answers every batch from trees built once;
// otherwise trimesh answers and its groups are gathered natively.
#include <cstdint>
#include <cstring>

#include "native_path.hpp"
#include "quarnet/mesh/face_ids.hpp"
#include "tessaron.hpp"
#include "trimesh_native.hpp"

namespace tessaron {
namespace {

namespace mesh = quarnet::mesh;
namespace native = quarnet::host::native;

std::int64_t face_id(PyObject* item) {
  const long long id = PyLong_AsLongLong(item);  // ints and anything with __index__
  if (id == -1 && PyErr_Occurred()) throw py::error_already_set();
  return id;
}

// A one-dimensional int64 ndarray (what trimesh's batched query yields) is
// read in place.
bool add_int64_array(mesh::FaceIdCollector& ids, const py::handle& group) {
  const auto view = native::array(group, native::ArrayRule(1).of(native::int64));
  if (!view) return false;
  const auto room = ids.append_group(view->shape[0]);
  for (std::size_t k = 0; k < room.size(); ++k) {
    std::memcpy(&room[k], view->data + static_cast<std::ptrdiff_t>(k) * view->strides[0], sizeof(std::int64_t));
  }
  return true;
}

// Any other sequence: its first ids, as `group[:20]` gives them.
void add_sequence(mesh::FaceIdCollector& ids, const py::handle& group, std::size_t limit) {
  py::object head = py::reinterpret_borrow<py::object>(group);
  if (!PyList_Check(group.ptr()) && !PyTuple_Check(group.ptr())) {
    head = group[py::slice(0, static_cast<Py_ssize_t>(limit), 1)];
  }
  PyObject* fast = PySequence_Fast(head.ptr(), "candidate face group is not a sequence");
  if (fast == nullptr) throw py::error_already_set();
  py::object keep = py::reinterpret_steal<py::object>(fast);
  const auto room = ids.append_group(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(fast)));
  PyObject** items = PySequence_Fast_ITEMS(fast);
  for (std::size_t k = 0; k < room.size(); ++k) room[k] = face_id(items[k]);
}

void add_groups(mesh::FaceIdCollector& ids, const py::object& candidates) {
  for (py::handle group : candidates) {
    if (!add_int64_array(ids, group)) add_sequence(ids, group, mesh::kMaxFacesPerPoint);
  }
}

py::list to_list(const std::vector<std::int64_t>& ids) {
  py::list out(ids.size());
  for (std::size_t k = 0; k < ids.size(); ++k) {
    PyObject* v = PyLong_FromLongLong(ids[k]);
    if (v == nullptr) throw py::error_already_set();
    PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), v);
  }
  return out;
}

constexpr int kBatchSize = 10000;  // find_nearby_faces' default

// The search of find_nearby_faces, printing its lines where `report` is set.
py::list search(const qh::Namespace& ns, const py::object& mesh_obj, const py::object& point_cloud,
                const py::object& batch_size, bool report) {
  auto print = [&](auto&&... args) {
    if (report) ns.print(std::forward<decltype(args)>(args)...);
  };
  py::object points = ns.np().attr("asarray")(point_cloud.attr("points"));
  py::object num_points = py::int_(py::len(points));
  print("Total points:", num_points);
  // A negative batch size would run no batch and find nothing, silently; zero
  // fails in range() below.
  if (PyIndex_Check(batch_size.ptr()) && batch_size < py::int_(0))
    qh::raise(PyExc_ValueError, qh::cat("batch_size must be at least 1, got ", batch_size));

  mesh::FaceIdCollector ids;
  std::unique_ptr<NearbyFacesQuery> native_query;  // prepared at the first batch
  bool prepared = false;
  for (py::handle start : qh::range(0, num_points, batch_size)) {
    py::object end = start + batch_size;  // min(start + batch_size, num_points)
    if (qh::truthy(qh::compare(num_points, end, Py_LT))) end = num_points;
    py::object batch_points = points[py::slice(start, end, py::none())];
    print(qh::cat("Processing points from ", start, " to ", end, " (Batch size: ", py::len(batch_points), ")"));
    if (!prepared) {
      native_query = NearbyFacesQuery::prepare(ns, mesh_obj, points);
      prepared = true;
    }
    std::size_t groups;
    if (native_query) {
      groups = native_query->add_groups(batch_points, ids);
    } else {
      py::object candidates = ns.trimesh().attr("proximity").attr("nearby_faces")(mesh_obj, batch_points);
      groups = py::len(candidates);
      add_groups(ids, candidates);
    }
    print(qh::cat("Batch ", start, "-", end, ": Found ", groups, " candidate face groups"));
  }

  py::list all_face_ids = to_list(ids.ids());
  print("Total face IDs found:", py::len(all_face_ids));
  return all_face_ids;
}

py::object find_nearby_faces(const qh::Call& c, py::object mesh_obj, py::object point_cloud, py::object threshold,
                             py::object batch_size) {
  (void)threshold;  // accepted; the query has no distance cut-off
  return search(c.ns, mesh_obj, point_cloud, batch_size, true);
}

}  // namespace

py::list nearby_face_ids(const qh::Namespace& ns, const py::object& mesh, const py::object& point_cloud) {
  return search(ns, mesh, point_cloud, py::int_(kBatchSize), false);
}

void define_face_search(const qh::Namespace& ns) {
  qh::def(ns, "find_nearby_faces",
          {"mesh", "point_cloud", qh::arg("threshold", 0.05), qh::arg("batch_size", kBatchSize)}, find_nearby_faces);
}

}  // namespace tessaron
