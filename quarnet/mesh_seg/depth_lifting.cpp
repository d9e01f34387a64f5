// load_depth and backproject_depth_to_points.
//
// load_depth reads a .npy file with the core reader: float32 of any plain
// numeric file type, shape as stored except that H x W x 1 becomes H x W, in
// the file's memory order (as np.load(...).astype(np.float32) gives it).
// Arguments that are not paths (file objects) go through np.load.
//
// backproject_depth_to_points computes, natively, what numpy computes for
//   i, j = np.meshgrid(np.arange(w), np.arange(h))
//   x = (i - cx) * z / fx;  y = (j - cy) * z / fy
//   np.stack((x, y, z), axis=-1).reshape(-1, 3)
// for an ndarray of bool, integers or float16/32/64 and float intrinsics;
// anything else (other dtypes, non-native byte order, array-likes, a replaced
// np) is evaluated by that numpy expression itself.
#include <pybind11/numpy.h>

#include <cmath>
#include <optional>

#include "native_path.hpp"
#include "quarnet/depth/backproject.hpp"
#include "quarnet/npy/reader.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

namespace npy = quarnet::npy;
namespace native = quarnet::host::native;

constexpr const char* kLoadDepthDoc = "读取深度图，假设单位是米";
constexpr const char* kBackprojectDoc = "深度图 -> 相机坐标系点云";

// ---- load_depth -------------------------------------------------------------

// The core's OSError names the file as the caller gave it.
py::array read_float32(const std::string& path, const py::object& filename) {
  std::optional<npy::Reader> in;
  qh::core_io([&] { in.emplace(path); }, filename);
  const npy::Header& h = in->header();
  std::vector<py::ssize_t> shape(h.shape.begin(), h.shape.end());
  if (shape.size() == 3 && shape[2] == 1) shape.pop_back();  // depth[:, :, 0]
  std::vector<py::ssize_t> strides(shape.size());
  py::ssize_t step = sizeof(float);
  for (std::size_t k = 0; k < shape.size(); ++k) {
    const std::size_t axis = h.fortran_order ? k : shape.size() - 1 - k;
    strides[axis] = step;
    step *= std::max<py::ssize_t>(shape[axis], 1);
  }
  py::array_t<float> out(shape, strides);
  float* dst = out.mutable_data();
  qh::core_io([&] { in->read_float32(dst); }, filename);
  return out;
}

py::object load_depth(const qh::Call& c, py::object depth_path) {
  const std::optional<std::string> path = qh::fs_encode_if_path(depth_path);
  if (!path) {
    // Not a path: a file object or whatever else np.load takes.
    const qh::Numpy np = c.ns.np();
    py::object depth = np.attr("load")(depth_path).attr("astype")(np.attr("float32"));
    py::tuple shape = depth.attr("shape");
    if (py::len(shape) == 3 && shape[2].cast<py::ssize_t>() == 1)
      depth = depth[py::make_tuple(py::slice(py::none(), py::none(), py::none()),
                                   py::slice(py::none(), py::none(), py::none()), 0)];
    return depth;
  }
  return read_float32(*path, depth_path);
}

// ---- backproject_depth_to_points ---------------------------------------------

py::object backproject_with_numpy(const py::object& np, const py::object& depth, const std::array<py::object, 4>& k,
                                  const py::object& h, const py::object& w) {
  const auto& [fx, fy, cx, cy] = k;
  auto [i, j] = qh::unpack<2>(np.attr("meshgrid")(np.attr("arange")(w), np.attr("arange")(h)));
  const py::object& z = depth;
  py::object x = (i - cx) * z / fx;
  py::object y = (j - cy) * z / fy;
  return np.attr("stack")(py::make_tuple(x, y, z), py::arg("axis") = -1).attr("reshape")(-1, 3);
}

py::object backproject_depth_to_points(const qh::Call& c, py::object depth, py::object K) {
  const auto k = qh::unpack<4>(K);  // fx, fy, cx, cy = K
  auto [h, w] = qh::unpack<2>(depth.attr("shape"));
  const qh::Numpy np = c.ns.np();

  const bool numpy_itself = native::is_numpy(np) && native::package_functions(np, {"meshgrid", "arange", "stack"});
  const auto view = numpy_itself ? native::array(depth, native::ArrayRule(2)) : std::nullopt;
  if (view) {
    const bool float_depth = view->element.kind == quarnet::numeric::Kind::Float;
    std::array<double, 4> d{};
    bool plain = true;
    for (std::size_t n = 0; n < 4 && plain; ++n) {
      const auto value = native::plain_scalar(k[n], float_depth);
      plain = value.has_value();
      if (plain) d[n] = *value;
    }
    if (plain) {
      const auto rows = static_cast<py::ssize_t>(view->size());
      py::array_t<double> points({rows, py::ssize_t{3}});
      double* out = points.mutable_data();
      const auto plane = view->as_2d();
      qh::without_gil([&] { quarnet::depth::backproject(plane, {d[0], d[1], d[2], d[3]}, out); });
      return points;
    }
  }
  return backproject_with_numpy(np, depth, k, h, w);
}

}  // namespace

void define_depth_lifting(const qh::Namespace& ns) {
  qh::def(ns, "load_depth", {"depth_path"}, load_depth, kLoadDepthDoc);
  qh::def(ns, "backproject_depth_to_points", {"depth", "K"}, backproject_depth_to_points, kBackprojectDoc);
}

}  // namespace tessaron
