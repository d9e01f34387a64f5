// SceneTessaron.__init__: checks the scene folders, reads the sparse model
// (binary first, text as fallback), builds K = [fx, fy, cx, cy] and the
// camera-to-world pose table.
#include "tessaron.hpp"

namespace tessaron {
namespace {

constexpr const char* kInitDoc =
    "场景Mesh分割初始化\n"
    "Args:\n"
    "    mask_path (str): 场景物体掩码路径\n"
    "    mesh_file (str): 场景Mesh文件路径\n"
    "    root_path (str): 根目录路径 (需包含 depths 文件夹 和 sparse/0 文件夹)";

constexpr const char* kProcessExtrinsicsDoc =
    "将 COLMAP 读出的 world→cam 转换为 cam→world，\n"
    "并返回 [(idx, t, q), ...] 其中 q = [qx, qy, qz, qw]";

void read_sparse_model(const qh::Namespace& ns, py::object& self, const py::object& join) {
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
}

py::list intrinsics_vector(const qh::Namespace& ns, const py::object& params) {
  py::object to_float = ns["float"];
  const auto n = py::len(params);
  if (n >= 4) {
    py::object fx = params[py::int_(0)], fy = params[py::int_(1)], cx = params[py::int_(2)], cy = params[py::int_(3)];
    return py::list(py::make_tuple(to_float(fx), to_float(fy), to_float(cx), to_float(cy)));
  }
  if (n == 3) {
    py::object f = params[py::int_(0)], cx = params[py::int_(1)], cy = params[py::int_(2)];
    return py::list(py::make_tuple(to_float(f), to_float(f), to_float(cx), to_float(cy)));
  }
  qh::raise(PyExc_ValueError, qh::cat("未知的相机参数格式: ", py::str(params)));
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

  read_sparse_model(ns, self, join);

  const auto cameras = py::len(self.attr("cam_intrinsics"));
  if (cameras != 1) qh::raise(PyExc_ValueError, qh::cat("期望只有 1 个相机，但实际检测到 ", cameras, " 个相机。"));

  py::object cam = ns["list"](self.attr("cam_intrinsics").attr("values")())[py::int_(0)];
  py::object params = cam.attr("params");
  self.attr("K") = intrinsics_vector(ns, params);
  ns.print(qh::cat(" - 内参K: ", self.attr("K")));

  self.attr("pose") = self.attr("process_extrinsics")();
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
    py::object idx = to_int(basename);
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
