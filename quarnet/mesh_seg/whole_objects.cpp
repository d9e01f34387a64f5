// The whole-object cut, beside the nearby-face search: every face whose
// exact distance to an object's cleaned points is at most a radius goes to
// that object (to the nearest one where several are that near), however
// dense the mesh.
//
//   assign_faces_to_objects(mesh, point_clouds, radius)  -> (object per face, distance per face)
//   seg_scene_mesh_dense(scene, radius)                   the segmentation of a SceneTessaron
//
// seg_scene_mesh_dense reads the scene mesh first (a mesh it cannot read
// ends the call before any extraction), extracts every object's cloud as
// seg_scene_mesh does, assigns the faces once over the whole mesh with every
// object's cloud, finished objects' included, and then cuts and writes the
// objects in listing order through the cut loop of every mode (cut_loop.cpp):
// the same staged files, the same sub_mesh.ply marker, remain.ply last. A
// finished object is skipped and its assigned faces leave the working mesh,
// so a resumed run writes what one run writes. It writes the run record
// (quarnet.run_record) before the extraction, and refuses a folder whose
// record names another mode, radius, mesh or sparse model.
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "arrays.hpp"
#include "quarnet/mesh/nearest_object.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

using qh::F64Array;
using qh::I64Array;

// The radius the measurements on sample scenes of 50,000 to 3,000,000 faces chose (README).
constexpr double kDefaultRadius = 0.015;

constexpr const char* kAssignDoc =
    "For every face of `mesh`, the object of `point_clouds` (a sequence of clouds with a `points` attribute)\n"
    "whose points come nearest to the face, if within `radius`: the exact point-to-triangle distance.\n"
    "At an equal distance the earlier cloud wins. Returns (object, distance): an int32 array with the\n"
    "cloud's index per face, -1 where no point is that near, and a float64 array of those distances\n"
    "(inf where none).";

constexpr const char* kDenseDoc =
    "Segments the scene of `scene` (a SceneTessaron) into whole objects: every face within `radius` of an\n"
    "object's cleaned points goes to the nearest such object. The clouds, output files, the sub_mesh.ply\n"
    "marker of finished objects and remain.ply are those of scene.seg_scene_mesh().";

double radius_of(const py::object& radius) {
  const double r = qh::to_float(radius).cast<double>();
  if (!(r > 0) || !std::isfinite(r)) qh::raise(PyExc_ValueError, qh::cat("radius must be a positive finite number, got ", radius));
  return r;
}

F64Array rows_of_three(const qh::Namespace& ns, const py::object& values, const char* what) {
  F64Array a = qh::f64_array(ns.np(), values);
  if (a.size() == 0) return F64Array(std::vector<py::ssize_t>{0, 3});
  if (!qh::has_rows_of_three(a)) qh::raise(PyExc_ValueError, qh::cat(what, " must be an N x 3 array"));
  return a;
}

struct Assignment {
  quarnet::mesh::NearestObjects faces;
  std::size_t points = 0;
};

Assignment assign(const qh::Namespace& ns, const py::object& mesh, const py::object& point_clouds, double radius) {
  const F64Array vertices = rows_of_three(ns, mesh.attr("vertices"), "the mesh's vertices");
  const I64Array faces = qh::i64_array(ns.np(), mesh.attr("faces"));
  if (faces.size() != 0 && !qh::has_rows_of_three(faces))
    qh::raise(PyExc_ValueError, py::str("the mesh's faces must be an F x 3 array"));

  std::vector<double> points;
  std::vector<std::int32_t> objects;
  std::int32_t k = 0;
  for (py::handle cloud : point_clouds) {
    const F64Array p = rows_of_three(ns, cloud.attr("points"), "a cloud's points");
    points.insert(points.end(), p.data(), p.data() + p.size());
    objects.insert(objects.end(), static_cast<std::size_t>(p.size() / 3), k++);
  }
  const quarnet::mesh::IndexedMesh indexed = qh::indexed_mesh(vertices, faces);
  return {qh::without_gil([&] { return quarnet::mesh::nearest_objects(indexed, points, objects, radius); }),
          objects.size()};
}

py::object assign_faces_to_objects(const qh::Call& c, py::object mesh, py::object point_clouds, py::object radius) {
  const Assignment a = assign(c.ns, mesh, point_clouds, radius_of(radius));
  return py::make_tuple(qh::to_array(a.faces.object), qh::to_array(a.faces.distance));
}

// What a dense object with no face of its own is told: no face lies within
// the radius of its points, or those that do went to objects whose points are
// as near or nearer (a twin object, say). Returns the reason for the record.
py::object no_faces(const qh::Namespace& ns, const quarnet::mesh::IndexedMesh& mesh, const std::vector<std::int32_t>& owner,
                    const py::list& clouds, const py::list& subdirs, std::size_t k, const ObjectFiles& files, double r) {
  const F64Array p = rows_of_three(ns, clouds[k].attr("points"), "a cloud's points");
  const std::vector<std::int32_t> alone(static_cast<std::size_t>(p.size() / 3), 0);
  const auto near = qh::without_gil([&] {
    return quarnet::mesh::nearest_objects(mesh, {p.data(), static_cast<std::size_t>(p.size())}, alone, r);
  });
  std::size_t within = 0;
  std::set<std::int32_t> takers;
  for (std::size_t f = 0; f < near.object.size(); ++f) {
    if (near.object[f] != 0) continue;
    ++within;
    if (owner[f] >= 0) takers.insert(owner[f]);
  }
  const py::object points = py::int_(p.size() / 3);
  if (within == 0) {
    ns.print(qh::cat(files.name, ": no face within ", r, " of its ", points, " points, nothing written."));
    return qh::cat("no face within ", r, " of its points");
  }
  py::list names;
  for (const std::int32_t t : takers) names.append(qh::to_str(subdirs[static_cast<std::size_t>(t)]));
  py::str taken_by = py::str(", ").attr("join")(names);
  ns.print(qh::cat(files.name, ": the ", within, " faces within ", r, " of its ", points, " points went to ", taken_by,
                   ", whose points are as near or nearer, nothing written."));
  return qh::cat("its faces went to ", taken_by);
}

// The whole-object cut of the scene mesh `mesh` for these objects.
void cut_dense(const qh::Namespace& ns, const py::object& scene, const py::object& mesh, const py::list& clouds,
               const py::list& subdirs, double r, const py::object& record) {
  const Assignment assignment = assign(ns, mesh, clouds, r);
  const auto& owner = assignment.faces.object;
  std::size_t assigned = 0;
  for (const std::int32_t k : owner) assigned += k >= 0;
  ns.print(qh::cat("Faces within ", r, " of the points of ", py::len(clouds), " objects (", assignment.points,
                   " points): ", assigned, " of ", owner.size(), "."));

  const F64Array vertices = rows_of_three(ns, mesh.attr("vertices"), "the mesh's vertices");
  const I64Array faces = qh::i64_array(ns.np(), mesh.attr("faces"));
  const quarnet::mesh::IndexedMesh indexed = qh::indexed_mesh(vertices, faces);
  const NoFaces nothing = [&](std::size_t k, const ObjectFiles& files) {
    return no_faces(ns, indexed, owner, clouds, subdirs, k, files, r);
  };
  cut_by_owner(ns, scene.attr("mask_path"), mesh, clouds, subdirs, owner, nothing, record);
}

py::object segment_dense(const qh::Call& c, py::object scene, py::object radius) {
  const auto& ns = c.ns;
  const double r = radius_of(radius);
  py::object mesh = load_scene_mesh(ns, scene.attr("mesh_file"));
  py::dict options;
  options["radius"] = r;
  py::object record = begin_run_record(ns, scene, "dense", options);
  const ObjectClouds objects = extract_objects(ns, scene, keyed_poses(scene));
  cut_dense(ns, scene, mesh, objects.clouds, objects.subdirs, r, record);
  return py::none();
}

py::object recorded_dense_cut(const qh::Call& c, py::object scene, py::object clouds, py::object subdirs,
                              py::object radius, py::object record) {
  const double r = radius_of(radius);
  cut_dense(c.ns, scene, load_scene_mesh(c.ns, scene.attr("mesh_file")), py::list(clouds), py::list(subdirs), r, record);
  return py::none();
}

}  // namespace

void define_whole_objects(const qh::Namespace& ns) {
  qh::def(ns, "assign_faces_to_objects", {"mesh", "point_clouds", qh::arg("radius", kDefaultRadius)},
          assign_faces_to_objects, kAssignDoc);
  qh::def(ns, "seg_scene_mesh_dense", {"scene", qh::arg("radius", kDefaultRadius)}, segment_dense, kDenseDoc);
  qh::def(ns, "_cut_dense", {"scene", "clouds", "subdirs", "radius", "record"}, recorded_dense_cut);
}

}  // namespace tessaron
