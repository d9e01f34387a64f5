#include "scene_rules.hpp"

#include <pybind11/numpy.h>

#include <cmath>

#include "native_path.hpp"
#include "quarnet/depth/masking.hpp"

namespace quarnet::host {

py::object object_folder(const Namespace& ns, py::handle mask_path, py::handle name) {
  const OsPath os_path = ns.os_path();
  py::object path = os_path.join(mask_path, name);
  return os_path.isdir(path) ? path : py::none();
}

py::object joined_scene_mesh(py::handle trimesh, py::handle loaded) {
  auto whole = py::reinterpret_borrow<py::object>(loaded);
  if (!py::isinstance(loaded, trimesh.attr("Scene"))) return whole;
  py::list meshes;
  for (py::handle geometry : loaded.attr("dump")()) {
    if (py::isinstance(geometry, trimesh.attr("Trimesh"))) meshes.append(geometry);
  }
  if (py::len(meshes) == 0) return whole;
  if (py::len(meshes) == 1) return meshes[0];
  return trimesh.attr("util").attr("concatenate")(meshes);
}

py::object image_id(const Namespace& ns, py::handle name) {
  const OsPath os_path = ns.os_path();
  return to_int(os_path.splitext(os_path.attr("basename")(name))[py::int_(0)]);
}

py::object depth_file(const Namespace& ns, py::handle depth_folder, py::handle image_id) {
  return ns.os_path().join(depth_folder, cat(image_id, ".npy"));
}

py::object with_depth(py::handle points) {
  const auto points_view = native::array(points, native::ArrayRule(2));
  if (points_view && points_view->shape[1] > 2) {
    const auto view = points_view->as_2d();
    // One pass into room for every row; only the pages written are touched,
    // and shrinking the array afterwards gives the rest back.
    const auto a = py::reinterpret_borrow<py::array>(points);
    py::array out(a.dtype(), {a.shape(0), a.shape(1)});
    auto* dst = static_cast<std::uint8_t*>(out.mutable_data());
    std::size_t n = 0;
    without_gil([&] { n = quarnet::depth::copy_positive_rows(view, 2, dst); });
    if (static_cast<py::ssize_t>(n) != a.shape(0)) out.resize({static_cast<py::ssize_t>(n), a.shape(1)});
    return out;
  }
  py::object z = points[py::make_tuple(py::slice(py::none(), py::none(), py::none()), 2)];
  return points[compare(z, py::int_(0), Py_GT) & compare(z, py::float_(INFINITY), Py_LT)];
}

}  // namespace quarnet::host
