// SceneTessaron.__init__: checks the scene folders, reads the sparse model
// (binary first, text as fallback), builds K = [fx, fy, cx, cy] from the
// camera model and the camera-to-world pose table.
#include <cmath>

#include "quarnet/colmap/model.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

namespace colmap = quarnet::colmap;

constexpr const char* kInitDoc =
    "场景Mesh分割初始化\n"
    "Args:\n"
    "    mask_path (str): 场景物体掩码路径\n"
    "    mesh_file (str): 场景Mesh文件路径\n"
    "    root_path (str): 根目录路径 (需包含 depths 文件夹 和 sparse/0 文件夹)";

constexpr const char* kProcessExtrinsicsDoc =
    "将 COLMAP 读出的 world→cam 转换为 cam→world，\n"
    "并返回 [(idx, t, q), ...] 其中 q = [qx, qy, qz, qw]";

struct SparseModelFiles {
  py::object images, cameras;
};

// Returns the files the model was read from.
SparseModelFiles read_sparse_model(const qh::Namespace& ns, py::object& self, const py::object& join) {
  py::object cameras_extrinsic_file, cameras_intrinsic_file;
  try {
    cameras_extrinsic_file = join(self.attr("sfm_path"), "images.bin");
    cameras_intrinsic_file = join(self.attr("sfm_path"), "cameras.bin");
    self.attr("cam_extrinsics") = ns["read_extrinsics_binary"](cameras_extrinsic_file);
    self.attr("cam_intrinsics") = ns["read_intrinsics_binary"](cameras_intrinsic_file);
  } catch (py::error_already_set& e_bin) {
    if (!e_bin.matches(PyExc_Exception)) throw;
    ns.print(qh::cat("[Warning] 读取 .bin 失败 (", py::str(e_bin.value()), ")，尝试读取 .txt 文件..."));
    try {
      cameras_extrinsic_file = join(self.attr("sfm_path"), "images.txt");
      cameras_intrinsic_file = join(self.attr("sfm_path"), "cameras.txt");
      self.attr("cam_extrinsics") = ns["read_extrinsics_text"](cameras_extrinsic_file);
      self.attr("cam_intrinsics") = ns["read_intrinsics_text"](cameras_intrinsic_file);
    } catch (py::error_already_set& e_txt) {
      // Raised while the binary failure is being handled: chain it as the context.
      PyException_SetContext(e_txt.value().ptr(), py::object(e_bin.value()).release().ptr());
      throw;
    }
  }
  return {cameras_extrinsic_file, cameras_intrinsic_file};
}

// The camera's model as COLMAP defines it, or null. The record comes from a
// reader a host may replace, so its model may be a name, an id or missing.
const colmap::CameraModel* model_of(const py::object& cam) {
  const py::object model = py::getattr(cam, "model", py::none());
  if (PyUnicode_Check(model.ptr())) {
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(model.ptr(), &size);
    if (name != nullptr) return colmap::camera_model_by_name({name, static_cast<std::size_t>(size)});
    PyErr_Clear();
  } else if (PyLong_Check(model.ptr()) && !PyBool_Check(model.ptr())) {
    int overflow = 0;
    const long long id = PyLong_AsLongLongAndOverflow(model.ptr(), &overflow);
    if (id == -1 && PyErr_Occurred()) PyErr_Clear();
    if (overflow == 0) return colmap::camera_model_by_id(id);
  }
  return nullptr;
}

double as_double(const py::handle& value) {
  const double d = PyFloat_AsDouble(value.ptr());
  if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
  return d;
}

// K = [fx, fy, cx, cy]. A model COLMAP defines gives [f, f, cx, cy] when it
// has one focal length and its first four parameters otherwise; any other
// camera is read by its parameter count. Distortion is not modelled: a model
// that has some, or a fisheye projection, gets a warning.
py::list intrinsics_vector(const qh::Namespace& ns, const py::object& cam, const py::object& params,
                           const py::object& cameras_file) {
  py::object to_float = ns["float"];
  const auto n = py::len(params);
  const colmap::CameraModel* model = model_of(cam);
  if (model != nullptr && n < static_cast<std::size_t>(model->focal_lengths) + 2) model = nullptr;
  std::size_t focals = 0;
  if (model != nullptr) {
    focals = static_cast<std::size_t>(model->focal_lengths);
  } else if (n >= 4) {
    focals = 2;
  } else if (n == 3) {
    focals = 1;
  } else {
    qh::raise(PyExc_ValueError, qh::cat("未知的相机参数格式: ", py::str(params)));
  }
  auto param = [&](std::size_t k) { return py::object(params[py::int_(k)]); };
  py::list K;
  for (std::size_t k : {std::size_t{0}, focals - 1, focals, focals + 1}) K.append(to_float(param(k)));

  double v[4];
  for (std::size_t k = 0; k < 4; ++k) v[k] = as_double(K[k]);
  if (!(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]) && v[0] > 0 && v[1] > 0))
    qh::raise(PyExc_ValueError, qh::cat(cameras_file, ": the camera gives K = ", K,
                                        "; fx and fy must be finite and above zero, cx and cy finite"));

  if (model != nullptr) {
    const py::str name(std::string(model->name));
    py::list distortion;
    bool distorted = false;
    for (std::size_t k = focals + 2; k < n; ++k) {
      distortion.append(to_float(param(k)));
      distorted = distorted || as_double(distortion[distortion.size() - 1]) != 0.0;
    }
    if (model->fisheye) {
      ns.print(qh::cat("[Warning] camera model ", name,
                       " is a fisheye model: its projection and distortion are ignored, undistorted images are expected"));
    } else if (distorted) {
      ns.print(qh::cat("[Warning] camera model ", name, " has distortion parameters ", distortion,
                       ": distortion is ignored, undistorted images are expected"));
    }
  }
  return K;
}

py::object init(const qh::Call& c, py::object self, py::object mask_path, py::object mesh_file, py::object root_path) {
  const auto& ns = c.ns;
  const py::handle str_type(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  qh::require_exact_type(mask_path, str_type, "mask_path");
  qh::require_exact_type(mesh_file, str_type, "mesh_file");
  qh::require_exact_type(root_path, str_type, "root_path");

  const qh::OsPath os_path = ns.os_path();
  py::object join = os_path.attr("join");
  self.attr("mask_path") = mask_path;
  self.attr("mesh_file") = mesh_file;
  self.attr("root_path") = root_path;

  self.attr("depths_path") = join(self.attr("root_path"), "depths");
  if (!os_path.exists(self.attr("depths_path")))
    qh::raise(PyExc_FileNotFoundError, qh::cat("Depths 文件夹不存在: ", self.attr("depths_path")));

  self.attr("sfm_path") = join(self.attr("root_path"), "sparse/0");
  if (!os_path.exists(self.attr("sfm_path")))
    qh::raise(PyExc_FileNotFoundError, qh::cat("SfM 文件夹不存在: ", self.attr("sfm_path")));

  const SparseModelFiles files = read_sparse_model(ns, self, join);

  const auto cameras = py::len(self.attr("cam_intrinsics"));
  if (cameras != 1) qh::raise(PyExc_ValueError, qh::cat("期望只有 1 个相机，但实际检测到 ", cameras, " 个相机。"));

  py::object cam = ns["list"](self.attr("cam_intrinsics").attr("values")())[py::int_(0)];
  py::object params = cam.attr("params");
  self.attr("K") = intrinsics_vector(ns, cam, params, files.cameras);
  ns.print(qh::cat(" - 内参K: ", self.attr("K")));

  self.attr("pose") = qh::with_note([&] { return self.attr("process_extrinsics")(); },
                                    [&](auto&) { return qh::cat("while reading the camera poses of ", files.images); });
  return py::none();
}

py::object extrinsics(const qh::Call& c, py::object self) {
  const auto& ns = c.ns;
  py::object np = ns["np"];
  py::object to_int = ns["int"];
  py::object qvec2rotmat = ns["qvec2rotmat"];
  py::object rotmat2qvec = ns["rotmat2qvec"];
  py::object splitext = ns.os_path().attr("splitext");
  py::object to_float = ns["float"];

  py::list poses;
  for (py::handle item : self.attr("cam_extrinsics").attr("items")()) {
    py::object image_id = py::reinterpret_borrow<py::tuple>(item)[0];
    py::object image = py::reinterpret_borrow<py::tuple>(item)[1];
    py::object qvec = image.attr("qvec");
    py::object tvec = image.attr("tvec");
    py::object name = image.attr("name");

    py::list q_wxyz;
    for (int k = 0; k < 4; ++k) q_wxyz.append(qvec[py::int_(k)]);
    py::object R_wc = qvec2rotmat(q_wxyz);
    py::object t_wc = tvec.attr("reshape")(3, 1);
    py::object R_cw = R_wc.attr("T");
    py::object t_cw = qh::matmul(qh::negative(R_wc.attr("T")), t_wc);
    py::object q_cw = rotmat2qvec(R_cw);

    py::object basename = splitext(name)[py::int_(0)];
    py::object idx = qh::with_note([&] { return to_int(basename); }, [&](auto&) {
      return qh::cat("image ", image_id, " ", py::repr(name), ": its name without the extension is no integer image id");
    });
    py::list q_xyzw;
    for (int k : {1, 2, 3, 0}) q_xyzw.append(q_cw[py::int_(k)]);
    poses.append(py::make_tuple(idx, t_cw.attr("flatten")().attr("astype")(to_float),
                                np.attr("array")(q_xyzw, py::arg("dtype") = to_float)));
  }
  return poses;
}

}  // namespace

py::object scene_init(const qh::Namespace& ns) {
  return qh::method(ns, "__init__", {"self", "mask_path", "mesh_file", "root_path"}, init, kInitDoc);
}

py::object process_extrinsics(const qh::Namespace& ns) {
  return qh::method(ns, "process_extrinsics", {"self"}, extrinsics, kProcessExtrinsicsDoc);
}

}  // namespace tessaron
