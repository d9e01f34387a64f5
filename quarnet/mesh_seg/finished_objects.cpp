// The faces of an object that an earlier run finished, taken out of the
// working mesh when the object is skipped, so that later objects and
// remain.ply see the mesh an uninterrupted run would have left.
//
// The object's sub_mesh.ply is read back with trimesh (vertices as the file
// keeps them, unprocessed) and its faces are found in the working mesh by
// their corners (the core's face matcher). Where each was the one face of
// the mesh with its corners, they are the faces the run took, and are cut.
//
// Otherwise (equal faces in the mesh, a marker re-saved as text, or any
// other doubt) the object's cloud is searched on the working mesh as the
// cut searches it (find_nearby_faces' search with its defaults, without its
// lines): where the earlier runs cut the same objects from the same inputs,
// those are the very ids the uninterrupted run found. If the marker holds
// exactly those faces at the precision it keeps, binary or text (the core's
// same_faces), they are cut by those ids, as when the object was cut, so even
// a mesh of duplicated faces goes on as in one run.
//
// Failing both (an edited file, one from another mesh, other masks), the
// faces the corners matched are cut, and those the mesh does not hold are
// counted in one printed line. A marker that is a folder or cannot be read
// as a mesh removes nothing and says so. The cut loop takes the faces out.
//
// The check of a finished object (tessaron.hpp, FinishedFaces) compares the
// marker with the faces taken out for it: for the default cut the faces its
// corners matched, for a mode that owns faces those it owns. Marker faces
// not found in the working mesh are looked up in the scene mesh: found
// there, another object of this run took them, and they would be in two
// files.
#include <algorithm>
#include <iterator>
#include <optional>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "quarnet/mesh/face_ids.hpp"
#include "quarnet/mesh/face_match.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

using qh::F64Array;
using qh::I64Array;

struct MeshArrays {
  F64Array vertices;
  I64Array faces;
  quarnet::mesh::IndexedMesh view() const { return qh::indexed_mesh(vertices, faces); }
};

// The vertex and face arrays of a mesh; nullopt when they are not n x 3.
std::optional<MeshArrays> arrays_of(const qh::Namespace& ns, const py::object& mesh) {
  const qh::Numpy np = ns.np();
  MeshArrays s{qh::f64_array(np, mesh.attr("vertices")), qh::i64_array(np, mesh.attr("faces"))};
  if (s.faces.size() == 0) return s;  // no face, whatever its shape
  if (!qh::has_rows_of_three(s.vertices) || !qh::has_rows_of_three(s.faces)) return std::nullopt;
  return s;
}

// The faces of the marker file, or the reason they cannot be read.
std::optional<MeshArrays> read_marker(const qh::Namespace& ns, const py::object& path, py::object& reason) {
  const qh::OsPath os_path = ns.os_path();
  if (!qh::truthy(os_path.attr("isfile")(path))) {  // never read a device or a pipe to its end
    reason = py::str(os_path.isdir(path) ? "it is a folder" : "it is not a regular file");
    return std::nullopt;
  }
  try {
    py::object loaded = ns.trimesh().attr("load")(path, py::arg("process") = false);
    if (!py::hasattr(loaded, "faces") || !py::hasattr(loaded, "vertices")) {
      reason = qh::cat("trimesh read a ", py::type::of(loaded).attr("__name__"));
      return std::nullopt;
    }
    std::optional<MeshArrays> s = arrays_of(ns, loaded);
    if (!s) reason = py::str("its vertices or faces are not rows of three");
    return s;
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;  // interrupts and exits go on
    reason = qh::cat(py::type::of(e.value()).attr("__name__"), ": ", e.value());
    return std::nullopt;
  }
}

// The sorted distinct ids of a list of working ids.
std::vector<std::int64_t> distinct(const qh::Namespace& ns, const py::object& ids) {
  if (ids.is_none()) return {};
  const I64Array a = qh::i64_array(ns.np(), ids);
  std::vector<std::int64_t> out(a.data(), a.data() + a.size());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::size_t symmetric_difference(std::vector<std::int64_t> a, const std::vector<std::int64_t>& b) {
  std::sort(a.begin(), a.end());
  a.erase(std::unique(a.begin(), a.end()), a.end());
  std::vector<std::int64_t> out;
  std::set_symmetric_difference(a.begin(), a.end(), b.begin(), b.end(), std::back_inserter(out));
  return out.size();
}

// Faces of the part that are faces of the scene mesh but were not found in
// the working mesh (`not_found` of them were not): taken earlier in this run.
std::size_t taken_earlier(const qh::Namespace& ns, const MeshArrays& part, std::size_t not_found, SceneMesh& scene) {
  if (not_found == 0) return 0;
  const std::optional<MeshArrays> whole = arrays_of(ns, scene.get());
  if (!whole) return not_found;
  const auto in_scene = qh::without_gil([&] { return quarnet::mesh::match_faces(whole->view(), part.view()); });
  return not_found > in_scene.not_found ? not_found - in_scene.not_found : 0;
}

// How many faces of the scene mesh the part and the working ids `taken` disagree on (tessaron.hpp).
std::size_t misplaced(const qh::Namespace& ns, const std::optional<MeshArrays>& whole, const MeshArrays& part,
                      const quarnet::mesh::FaceMatch& found, const std::vector<std::int64_t>& taken, SceneMesh& scene) {
  if (whole && (found.ambiguous > 0 || found.not_found > 0)) {  // equal faces, or a file of other precision
    const bool same = qh::without_gil([&] { return quarnet::mesh::same_faces(part.view(), whole->view(), taken); });
    if (same) return 0;
  }
  return symmetric_difference(found.ids, taken) + taken_earlier(ns, part, found.not_found, scene);
}

// match_faces of the part in the working mesh (all not found when there is none).
quarnet::mesh::FaceMatch match_in(const std::optional<MeshArrays>& whole, const MeshArrays& part) {
  if (!whole) {
    quarnet::mesh::FaceMatch none;
    none.not_found = part.view().face_count();
    return none;
  }
  return qh::without_gil([&] { return quarnet::mesh::match_faces(whole->view(), part.view()); });
}

std::optional<MeshArrays> working_arrays(const qh::Namespace& ns, const py::object& mesh) {
  if (mesh.is_none()) return std::nullopt;
  std::optional<MeshArrays> whole = arrays_of(ns, mesh);
  if (!whole) qh::raise(PyExc_ValueError, py::str("the working mesh has vertices or faces that are not rows of three"));
  return whole;
}

}  // namespace

const py::object& SceneMesh::get() {
  if (mesh_.is_none()) mesh_ = load_scene_mesh(ns_, mesh_file_);
  return mesh_;
}

FinishedFaces marker_faces(const qh::Namespace& ns, const py::object& mesh, const py::object& pcd,
                           const py::object& sub_mesh_path, SceneMesh* check) {
  const std::optional<std::size_t> none_misplaced = check ? std::optional<std::size_t>(0) : std::nullopt;
  py::object reason;
  const std::optional<MeshArrays> part = read_marker(ns, sub_mesh_path, reason);
  if (!part) {
    ns.print(qh::cat("Cannot read the faces in ", sub_mesh_path, " (", reason, "), none removed from the mesh."));
    return {py::none(), none_misplaced};
  }
  if (part->view().face_count() == 0) return {py::none(), none_misplaced};

  const std::optional<MeshArrays> whole = working_arrays(ns, mesh);
  const quarnet::mesh::FaceMatch found = match_in(whole, *part);
  if (whole) {
    if (found.not_found == 0 && found.ambiguous == 0) {
      // Each of the marker's faces is the one face of the mesh with its corners:
      // these are the faces the run took, and the remainder does not depend on
      // the order in which they are listed.
      return {qh::to_array(found.ids), none_misplaced};
    }
    const py::list searched = nearby_face_ids(ns, mesh, pcd);
    const I64Array ids = qh::i64_array(ns.np(), searched);
    const std::span<const std::int64_t> id_span(ids.data(), static_cast<std::size_t>(ids.size()));
    // The sub-mesh holds each listed face once, in order of first appearance.
    const bool same = qh::without_gil([&] {
      return quarnet::mesh::same_faces(part->view(), whole->view(), quarnet::mesh::unique_in_order(id_span));
    });
    if (same) return {searched, none_misplaced};
  }
  if (found.not_found > 0) {
    ns.print(qh::cat(found.not_found, " of the ", part->view().face_count(), " faces in ", sub_mesh_path,
                     " were not found in the mesh, removing the rest."));
  }
  FinishedFaces done{found.ids.empty() ? py::object(py::none()) : py::object(qh::to_array(found.ids)), std::nullopt};
  if (check) done.misplaced = taken_earlier(ns, *part, found.not_found, *check);
  return done;
}

std::size_t misplaced_faces(const qh::Namespace& ns, const py::object& working, const py::object& sub_mesh_path,
                            const py::object& ids, SceneMesh& scene) {
  const std::vector<std::int64_t> taken = distinct(ns, ids);
  py::object reason;
  const std::optional<MeshArrays> part = read_marker(ns, sub_mesh_path, reason);
  if (!part || part->view().face_count() == 0) return taken.size();  // taken out, in no file
  const std::optional<MeshArrays> whole = working_arrays(ns, working);
  return misplaced(ns, whole, *part, match_in(whole, *part), taken, scene);
}

}  // namespace tessaron
