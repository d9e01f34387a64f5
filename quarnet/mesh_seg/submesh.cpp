// save_nearby_faces_as_ply: splits a mesh into the sub-mesh of the listed
// faces and the remainder of all other faces. Each listed face goes into the
// sub-mesh once, in order of first appearance, however often it is listed.
#include <pybind11/numpy.h>

#include "quarnet/mesh/face_ids.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

constexpr const char* kDoc = " 仅提取找到的面片并保存为 .ply 文件 ";

using I64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// The face array once per face; anything that is not a one-dimensional
// integer array goes to the library unchanged.
py::object each_face_once(const py::object& faces) {
  if (!py::isinstance<py::array>(faces)) return faces;
  const auto arr = py::reinterpret_borrow<py::array>(faces);
  if (arr.ndim() != 1 || arr.dtype().kind() != 'i' || arr.itemsize() != sizeof(std::int64_t)) return faces;
  const I64Array ids = I64Array::ensure(faces);
  if (!ids) throw py::error_already_set();
  std::vector<std::int64_t> once = qh::without_gil([&] {
    return quarnet::mesh::unique_in_order({ids.data(), static_cast<std::size_t>(ids.size())});
  });
  I64Array out(static_cast<py::ssize_t>(once.size()));
  std::copy(once.begin(), once.end(), out.mutable_data());
  return out;
}

py::object submesh_of(const py::object& mesh, const py::object& faces) {
  py::list groups;
  groups.append(faces);
  return mesh.attr("submesh")(groups, py::arg("only_watertight") = false);
}

py::object save_nearby_faces_as_ply(const qh::Call& c, py::object mesh, py::object nearby_faces) {
  const auto& ns = c.ns;
  py::object np = ns["np"];

  nearby_faces = np.attr("array")(nearby_faces, py::arg("dtype") = ns["int"]);
  py::object faces_once = each_face_once(nearby_faces);
  py::object sub_mesh_list = submesh_of(mesh, faces_once);

  if (qh::truthy(ns["isinstance"](sub_mesh_list, ns["list"])) && py::len(sub_mesh_list) > 0) {
    py::object sub_mesh = sub_mesh_list[py::int_(0)];
    py::object all_faces = np.attr("arange")(py::len(mesh.attr("triangles")));
    py::object remaining_faces = np.attr("setdiff1d")(all_faces, faces_once);
    py::object remaining_faces_mesh_list = submesh_of(mesh, remaining_faces);
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
