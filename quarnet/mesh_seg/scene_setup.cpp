// SceneTessaron.__init__: checks the scene folders, reads the sparse model
// (binary first, text as fallback), builds K = [fx, fy, cx, cy] from the
// camera model and the camera-to-world pose table.
#include "../scene/sparse_model.hpp"
#include "scene_rules.hpp"
#include "tessaron.hpp"

namespace tessaron {
namespace {

namespace scene = quarnet::scene;

constexpr const char* kInitDoc =
    "场景Mesh分割初始化\n"
    "Args:\n"
    "    mask_path (str): 场景物体掩码路径\n"
    "    mesh_file (str): 场景Mesh文件路径\n"
    "    root_path (str): 根目录路径 (需包含 depths 文件夹 和 sparse/0 文件夹)";

constexpr const char* kProcessExtrinsicsDoc =
    "将 COLMAP 读出的 world→cam 转换为 cam→world，\n"
    "并返回 [(idx, t, q), ...] 其中 q = [qx, qy, qz, qw]";

py::object init(const qh::Call& c, py::object self, py::object mask_path, py::object mesh_file, py::object root_path) {
  const auto& ns = c.ns;
  qh::require_exact_type(mask_path, qh::str_type(), "mask_path");
  qh::require_exact_type(mesh_file, qh::str_type(), "mesh_file");
  qh::require_exact_type(root_path, qh::str_type(), "root_path");

  const qh::OsPath os_path = ns.os_path();
  py::object join = os_path.attr("join");
  self.attr("mask_path") = mask_path;
  self.attr("mesh_file") = mesh_file;
  self.attr("root_path") = root_path;

  self.attr("depths_path") = join(self.attr("root_path"), qh::kDepths);
  if (!os_path.exists(self.attr("depths_path")))
    qh::raise(PyExc_FileNotFoundError, qh::cat("Depths 文件夹不存在: ", self.attr("depths_path")));

  self.attr("sfm_path") = join(self.attr("root_path"), qh::kSparse);
  if (!os_path.exists(self.attr("sfm_path")))
    qh::raise(PyExc_FileNotFoundError, qh::cat("SfM 文件夹不存在: ", self.attr("sfm_path")));

  const scene::SparseModel model = scene::read_sparse_model(ns, self.attr("sfm_path"));
  self.attr("cam_extrinsics") = model.images;
  self.attr("cam_intrinsics") = model.cameras;

  const auto cameras = py::len(self.attr("cam_intrinsics"));
  if (cameras != 1)
    qh::with_note([&] { qh::raise(PyExc_ValueError, qh::cat("期望只有 1 个相机，但实际检测到 ", cameras, " 个相机。")); },
                  [&](auto&) { return qh::cat("the cameras of ", model.cameras_file); });

  py::object cam = py::list(self.attr("cam_intrinsics").attr("values")())[0];
  const scene::Intrinsics intrinsics = scene::camera_intrinsics(cam, model.cameras_file);
  if (!intrinsics.warning.is_none()) ns.print(intrinsics.warning);
  self.attr("K") = intrinsics.K;
  ns.print(qh::cat(" - 内参K: ", self.attr("K")));

  self.attr("pose") = qh::with_note([&] { return self.attr("process_extrinsics")(); },
                                    [&](auto&) { return qh::cat("while reading the camera poses of ", model.images_file); });
  return py::none();
}

py::object extrinsics(const qh::Call& c, py::object self) {
  const auto& ns = c.ns;
  const qh::Numpy np = ns.np();
  py::object qvec2rotmat = ns["qvec2rotmat"];
  py::object rotmat2qvec = ns["rotmat2qvec"];

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

    py::object idx = qh::with_note([&] { return qh::image_id(ns, name); }, [&](auto&) {
      return qh::cat("image ", image_id, " ", py::repr(name), ": its file name without the extension is no integer image id");
    });
    py::list q_xyzw;
    for (int k : {1, 2, 3, 0}) q_xyzw.append(q_cw[py::int_(k)]);
    poses.append(py::make_tuple(idx, t_cw.attr("flatten")().attr("astype")(qh::float_type()),
                                np.attr("array")(q_xyzw, py::arg("dtype") = qh::float_type())));
  }
  return poses;
}

}  // namespace

py::object scene_init(const qh::Namespace& ns) {
  const py::object str = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  return qh::function(ns, "__init__",
                      {"self", qh::annotated("mask_path", str), qh::annotated("mesh_file", str),
                       qh::annotated("root_path", str)},
                      init, kInitDoc);
}

py::object process_extrinsics(const qh::Namespace& ns) {
  return qh::function(ns, "process_extrinsics", {"self"}, extrinsics, kProcessExtrinsicsDoc);
}

}  // namespace tessaron
