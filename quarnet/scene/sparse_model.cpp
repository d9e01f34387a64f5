#include "sparse_model.hpp"

#include <cmath>
#include <string>
#include <vector>

#include "quarnet/colmap/model.hpp"

namespace quarnet::scene {
namespace {

namespace colmap = quarnet::colmap;

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

py::object warning_for(const colmap::CameraModel& model, const py::list& params) {
  std::vector<double> values;
  for (py::handle p : params) values.push_back(as_double(p));
  const py::str name(std::string(model.name));
  const auto extra_from = static_cast<std::size_t>(model.focal_lengths) + 2;
  switch (colmap::omitted_by_pinhole(model, values)) {
    case colmap::Omitted::nothing:
      return py::none();
    case colmap::Omitted::fisheye:
      return qh::cat("[Warning] camera model ", name,
                     " is a fisheye model: its projection and distortion are ignored, undistorted images are expected");
    case colmap::Omitted::unified:
      return qh::cat("[Warning] camera model ", name, " with alpha ", params[extra_from],
                     " is no pinhole projection: its projection is ignored, undistorted images are expected");
    case colmap::Omitted::distortion:
      break;
  }
  py::list distortion;
  for (std::size_t k = extra_from; k < values.size(); ++k) distortion.append(params[k]);
  return qh::cat("[Warning] camera model ", name, " has distortion parameters ", distortion,
                 ": distortion is ignored, undistorted images are expected");
}

// The model's two files in `folder` for one form, and the readers' and
// writers' name suffix for it: images.<ext>, cameras.<ext>; binary or text.
struct Form {
  const char* ext;
  const char* suffix;
};
constexpr Form kBinary{".bin", "binary"}, kText{".txt", "text"};

py::object model_file(const qh::Namespace& ns, const py::object& folder, const char* kind, const Form& form) {
  return ns.os_path().join(folder, qh::cat(kind, form.ext));
}

py::object function_for(const qh::Namespace& ns, const char* verb_and_part, const Form& form) {
  return ns[(std::string(verb_and_part) + "_" + form.suffix).c_str()];
}

}  // namespace

SparseModel read_sparse_model(const qh::Namespace& ns, const py::object& folder) {
  SparseModel m;
  // images.<ext>, then cameras.<ext>, with read_extrinsics_<form> and read_intrinsics_<form>
  auto read = [&](const Form& form) {
    m.images_file = model_file(ns, folder, "images", form);
    m.cameras_file = model_file(ns, folder, "cameras", form);
    m.images = function_for(ns, "read_extrinsics", form)(m.images_file);
    m.cameras = function_for(ns, "read_intrinsics", form)(m.cameras_file);
  };
  try {
    read(kBinary);
  } catch (py::error_already_set& e_bin) {
    if (!e_bin.matches(PyExc_Exception)) throw;
    ns.print(qh::cat("[Warning] 读取 .bin 失败 (", py::str(e_bin.value()), ")，尝试读取 .txt 文件..."));
    try {
      read(kText);
    } catch (py::error_already_set& e_txt) {
      // Raised while the binary failure is being handled: chain it as the
      // context, and name it in a note, where a one-line report shows it.
      PyException_SetContext(e_txt.value().ptr(), py::object(e_bin.value()).release().ptr());
      qh::add_note(e_txt, qh::cat("after the binary model failed: ", py::str(e_bin.value())));
      throw;
    }
  }
  return m;
}

void write_sparse_model(const qh::Namespace& ns, const py::object& cameras, const py::object& images,
                        const py::object& folder, const py::object& ext) {
  const Form* form = nullptr;
  for (const Form* f : {&kBinary, &kText}) {
    if (qh::truthy(qh::compare(ext, py::str(f->ext), Py_EQ))) form = f;
  }
  if (form == nullptr) qh::raise(PyExc_ValueError, qh::cat("ext must be '.bin' or '.txt', got ", py::repr(ext)));
  function_for(ns, "write_intrinsics", *form)(cameras, model_file(ns, folder, "cameras", *form));
  function_for(ns, "write_extrinsics", *form)(images, model_file(ns, folder, "images", *form));
}

Intrinsics camera_intrinsics(const py::object& cam, const py::object& cameras_file) {
  py::object params = cam.attr("params");
  const auto n = py::len(params);
  const colmap::CameraModel* model = model_of(cam);
  const py::str camera = cameras_file.is_none() ? py::str("the camera") : qh::cat("the camera of ", cameras_file);
  const auto index = colmap::pinhole_indices(model, n);
  if (!index) {
    qh::with_note([&] { qh::raise(PyExc_ValueError, qh::cat("未知的相机参数格式: ", py::str(params))); },
                  [&](auto&) {
                    if (model == nullptr || model->focal_lengths > 0) return camera;
                    return qh::cat(camera, " is of model ", py::str(std::string(model->name)), ", which has no focal length");
                  });
  }
  Intrinsics out;
  for (std::size_t k : *index) out.K.append(qh::to_float(params[py::int_(k)]));

  double v[4];
  for (std::size_t k = 0; k < 4; ++k) v[k] = as_double(out.K[k]);
  if (!(std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]) && std::isfinite(v[3]) && v[0] > 0 && v[1] > 0))
    qh::raise(PyExc_ValueError, qh::cat(cameras_file.is_none() ? py::str("the camera") : qh::cat(cameras_file, ": the camera"),
                                        " gives K = ", out.K,
                                        "; fx and fy must be finite and above zero, cx and cy finite"));

  out.warning = py::none();
  if (model != nullptr && n >= static_cast<std::size_t>(model->focal_lengths) + 2) {
    py::list all;
    for (std::size_t k = 0; k < n; ++k) all.append(qh::to_float(params[py::int_(k)]));
    out.warning = warning_for(*model, all);
  }
  return out;
}

}  // namespace quarnet::scene
