// save_nearby_faces_as_ply: splits a mesh into the sub-mesh of the listed
// faces and the remainder of all other faces. Each listed face goes into the
// sub-mesh once, in order of first appearance, however often it is listed;
// a face id outside the mesh raises IndexError before anything is built.
//
// Where the native double of trimesh's submesh may stand in
// (trimesh_native.hpp), it builds both meshes and the remainder's face list
// (np.setdiff1d(np.arange(F), faces)) natively, and F is len(mesh.faces);
// otherwise mesh.submesh, np.arange, np.setdiff1d and len(mesh.triangles)
// are called.
#include <pybind11/numpy.h>

#include <optional>
#include <vector>

#include "arrays.hpp"
#include "native_path.hpp"
#include "quarnet/mesh/face_ids.hpp"
#include "quarnet/mesh/submesh_index.hpp"
#include "tessaron.hpp"
#include "trimesh_native.hpp"

namespace tessaron {
namespace {

namespace native = quarnet::host::native;
namespace mesh_core = quarnet::mesh;

constexpr const char* kDoc = " 仅提取找到的面片并保存为 .ply 文件 ";

// The ids of a plain 1-D int64 array, or nullopt for anything else (which
// goes to the library unchanged).
std::optional<std::span<const std::int64_t>> plain_ids(const py::object& faces) {
  const auto view = native::array(faces, native::ArrayRule(1).of(native::int64).contiguous());
  if (!view) return std::nullopt;
  return std::span<const std::int64_t>{view->typed<std::int64_t>(), view->shape[0]};
}

// IndexError unless every id lies in 0 ... face_count - 1.
void check_range(std::span<const std::int64_t> ids, std::int64_t face_count) {
  const auto bad = qh::without_gil([&] { return mesh_core::first_out_of_range(ids, static_cast<std::size_t>(face_count)); });
  if (bad) qh::raise(PyExc_IndexError, qh::cat("face id ", ids[*bad], " is out of range for a mesh of ", face_count, " faces"));
}

py::object submesh_of(const py::object& mesh, const py::object& faces) {
  py::list groups;
  groups.append(faces);
  return mesh.attr("submesh")(groups, py::arg("only_watertight") = false);
}

// mesh.submesh([faces], only_watertight=False), natively where it may be.
py::object submesh_list(bool native_cut, const py::object& mesh, const py::object& faces) {
  if (native_cut) {
    if (auto built = native_submesh(mesh, faces)) return *built;
  }
  return submesh_of(mesh, faces);
}

py::object save_nearby_faces_as_ply(const qh::Call& c, py::object mesh, py::object nearby_faces) {
  const auto& ns = c.ns;
  const qh::Numpy np = ns.np();

  nearby_faces = np.attr("array")(nearby_faces, py::arg("dtype") = qh::int_type());
  py::object faces_once = nearby_faces;
  const auto listed = plain_ids(nearby_faces);
  const bool native_cut = submesh_is_native(ns, mesh);
  std::optional<std::int64_t> face_count;  // of a plain id list, taken once for the check and the remainder
  std::vector<std::int64_t> once;
  // An empty list reads nothing of the mesh, as trimesh's submesh reads nothing for it.
  if (listed && !listed->empty()) {
    face_count = static_cast<std::int64_t>(native_cut ? py::len(mesh.attr("faces")) : py::len(mesh.attr("triangles")));
    check_range(*listed, *face_count);
    once = qh::without_gil([&] { return mesh_core::unique_in_order(*listed); });
    faces_once = qh::to_array(once);
  }

  py::object sub_mesh_list = submesh_list(native_cut, mesh, faces_once);
  if (qh::isinstance(sub_mesh_list, qh::list_type()) && py::len(sub_mesh_list) > 0) {
    py::object sub_mesh = sub_mesh_list[py::int_(0)];
    py::object remaining_faces;
    if (native_cut && face_count) {
      const auto count = static_cast<std::size_t>(*face_count);
      remaining_faces = adopt(qh::without_gil([&] { return mesh_core::other_faces(count, once); }));
    } else {
      const py::int_ count(face_count ? *face_count : static_cast<std::int64_t>(py::len(mesh.attr("triangles"))));
      py::object all_faces = np.attr("arange")(count);
      remaining_faces = np.attr("setdiff1d")(all_faces, faces_once);
    }
    py::object remaining_faces_mesh_list = submesh_list(native_cut, mesh, remaining_faces);
    py::object remaining_mesh =
        py::len(remaining_faces_mesh_list) > 0 ? py::object(remaining_faces_mesh_list[py::int_(0)]) : py::none();
    return py::make_tuple(sub_mesh, remaining_mesh);
  }
  ns.print("未找到子网格，无法保存 .ply");
  return py::make_tuple(py::none(), py::none());
}

}  // namespace

void define_submesh(const qh::Namespace& ns) {
  qh::def(ns, "save_nearby_faces_as_ply", {"mesh", "nearby_faces"}, save_nearby_faces_as_ply, kDoc);
}

}  // namespace tessaron
