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
// counted in one printed line. All cuts go through the module's own
// save_nearby_faces_as_ply. A marker that is a folder or cannot be read as a
// mesh removes nothing and says so.
#include <optional>
#include <span>

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

// The remainder of save_nearby_faces_as_ply(mesh, ids).
py::object cut_out(const qh::Namespace& ns, const py::object& mesh, const py::object& ids) {
  return qh::unpack(ns["save_nearby_faces_as_ply"](mesh, ids), 2)[1];
}

}  // namespace

py::object without_finished_faces(const qh::Namespace& ns, const py::object& mesh, const py::object& pcd,
                                  const py::object& sub_mesh_path) {
  py::object reason;
  const std::optional<MeshArrays> part = read_marker(ns, sub_mesh_path, reason);
  if (!part) {
    ns.print(qh::cat("Cannot read the faces in ", sub_mesh_path, " (", reason, "), none removed from the mesh."));
    return mesh;
  }
  if (part->view().face_count() == 0) return mesh;

  quarnet::mesh::FaceMatch found;
  if (!mesh.is_none()) {
    const std::optional<MeshArrays> whole = arrays_of(ns, mesh);
    if (!whole) qh::raise(PyExc_ValueError, py::str("the working mesh has vertices or faces that are not rows of three"));
    found = qh::without_gil([&] { return quarnet::mesh::match_faces(whole->view(), part->view()); });
    if (found.not_found == 0 && found.ambiguous == 0) {
      // Each of the marker's faces is the one face of the mesh with its corners:
      // these are the faces the run took, and the remainder does not depend on
      // the order in which they are listed.
      return cut_out(ns, mesh, qh::to_array(found.ids));
    }
    const py::list searched = nearby_face_ids(ns, mesh, pcd);
    const I64Array ids = qh::i64_array(ns.np(), searched);
    const std::span<const std::int64_t> id_span(ids.data(), static_cast<std::size_t>(ids.size()));
    // The sub-mesh holds each listed face once, in order of first appearance.
    const bool same = qh::without_gil([&] {
      return quarnet::mesh::same_faces(part->view(), whole->view(), quarnet::mesh::unique_in_order(id_span));
    });
    if (same) return cut_out(ns, mesh, searched);
  } else {
    found.not_found = part->view().face_count();  // an earlier object took every face
  }
  if (found.not_found > 0) {
    ns.print(qh::cat(found.not_found, " of the ", part->view().face_count(), " faces in ", sub_mesh_path,
                     " were not found in the mesh, removing the rest."));
  }
  if (found.ids.empty()) return mesh;
  return cut_out(ns, mesh, qh::to_array(found.ids));
}

}  // namespace tessaron
