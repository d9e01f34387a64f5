// quarnet.scene.colmap_loader: reads and writes COLMAP sparse models
// (cameras and images, binary and text) and converts between quaternions
// and rotation matrices. Records are immutable named tuples:
//   Camera(id, model, width, height, params)
//   Image(id, qvec, tvec, camera_id, name, xys, point3D_ids)
// Readers return dicts keyed by id, in file order. read_model reads a model
// folder as SceneTessaron does (binary first, text on failure), write_model
// writes one (cameras.bin and images.bin, or the .txt pair), and
// camera_intrinsics gives a camera's K as SceneTessaron builds it.
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "arrays.hpp"
#include "quarnet/colmap/model.hpp"
#include "quarnet/colmap/rotation.hpp"
#include "quarnet/errors.hpp"
#include "quarnet/io/file.hpp"
#include "sparse_model.hpp"

namespace py = pybind11;
namespace qh = quarnet::host;
namespace colmap = quarnet::colmap;

namespace {

using qh::F64Array;
using qh::I64Array;

// Runs a reader of `path` without the GIL; its FormatError gains the file name.
template <class Read>
auto named(const std::string& path, Read&& read) {
  try {
    return qh::without_gil(std::forward<Read>(read));
  } catch (const quarnet::FormatError& e) {
    throw quarnet::FormatError(path + ": " + e.what());
  }
}

template <class Parse>
auto parse_text_file(const std::string& path, Parse&& parse) {
  return named(path, [&] {
    const std::vector<std::uint8_t> bytes = quarnet::io::read_text_file(path);
    return parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  });
}

py::str utf8(const std::string& text, const std::string& path, const char* what) {
  PyObject* s = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict");
  if (s == nullptr) {
    PyErr_Clear();
    throw quarnet::FormatError(path + ": " + what + " is not valid UTF-8");
  }
  return py::reinterpret_steal<py::str>(s);
}

F64Array f64_copy(const double* data, std::size_t n) {
  F64Array a(static_cast<py::ssize_t>(n));
  if (n) std::memcpy(a.mutable_data(), data, n * sizeof(double));
  return a;
}

py::dict cameras_dict(const qh::Namespace& ns, const std::vector<colmap::Camera>& cameras, const std::string& path) {
  py::object Camera = ns["Camera"];
  py::dict out;
  for (const auto& c : cameras) {
    out[py::int_(c.id)] = Camera(c.id, utf8(c.model, path, "camera model"), c.width, c.height,
                                 f64_copy(c.params.data(), c.params.size()));
  }
  return out;
}

py::object image_record(const qh::Namespace& ns, const colmap::ImageHeader& h, const std::string& path, py::array xys,
                        py::array ids) {
  return ns["Image"](h.id, f64_copy(h.qvec.data(), 4), f64_copy(h.tvec.data(), 3), h.camera_id,
                     utf8(h.name, path, "image name"), xys, ids);
}

// ---- writers: records in, core structs out ---------------------------------

// rec.<field> as an integer of type Int: TypeError for what is no integer (as
// operator.index), ValueError naming the record and field when out of range.
template <class Int>
Int integer_field(py::handle rec, const char* field, const std::string& record) {
  const auto value = py::reinterpret_steal<py::object>(PyNumber_Index(py::object(rec.attr(field)).ptr()));
  if (!value) throw py::error_already_set();
  const py::object low = py::int_(std::numeric_limits<Int>::min()), high = py::int_(std::numeric_limits<Int>::max());
  if (value < low || value > high)
    throw quarnet::ArgumentError(record + ": " + field + " " + py::str(value).cast<std::string>() + " is out of range (" +
                                 std::to_string(std::numeric_limits<Int>::min()) + " to " +
                                 std::to_string(std::numeric_limits<Int>::max()) + ")");
  return value.cast<Int>();
}

// str(rec.<field>) as UTF-8; ValueError naming the record and field when it cannot be.
std::string text_field(py::handle rec, const char* field, const std::string& record) {
  const py::str text(rec.attr(field));
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) {
    PyErr_Clear();
    throw quarnet::ArgumentError(record + ": " + field + " is not valid UTF-8 text");
  }
  return std::string(data, static_cast<std::size_t>(size));
}

std::vector<colmap::Camera> cameras_from(const qh::Namespace& ns, const py::object& cameras) {
  std::vector<colmap::Camera> out;
  for (py::handle rec : cameras.attr("values")()) {
    colmap::Camera c;
    const std::string record = "camera record " + std::to_string(out.size());
    c.id = integer_field<std::int64_t>(rec, "id", record);
    const std::string camera = record + " (id " + std::to_string(c.id) + ")";
    c.model = text_field(rec, "model", camera);
    c.width = integer_field<std::uint64_t>(rec, "width", camera);
    c.height = integer_field<std::uint64_t>(rec, "height", camera);
    F64Array params = ns.np().asarray(rec.attr("params"), "float64").attr("reshape")(-1);
    c.params.assign(params.data(), params.data() + params.size());
    out.push_back(std::move(c));
  }
  return out;
}

// Keeps the converted arrays alive while the core serialises views of them.
struct ImagesIn {
  std::vector<colmap::ImageHeader> headers;
  std::vector<F64Array> xys;
  std::vector<I64Array> ids;
  std::vector<colmap::ImageView> views;
};

ImagesIn images_from(const qh::Namespace& ns, const py::object& images) {
  const qh::Numpy np = ns.np();
  ImagesIn in;
  for (py::handle rec : images.attr("values")()) {
    colmap::ImageHeader h;
    const std::string record = "image record " + std::to_string(in.headers.size());
    h.id = integer_field<std::int64_t>(rec, "id", record);
    const std::string image = record + " (id " + std::to_string(h.id) + ")";
    F64Array q = np.asarray(rec.attr("qvec"), "float64").attr("reshape")(-1);
    F64Array t = np.asarray(rec.attr("tvec"), "float64").attr("reshape")(-1);
    if (q.size() != 4) throw quarnet::ArgumentError("image " + std::to_string(h.id) + ": qvec must hold 4 numbers");
    if (t.size() != 3) throw quarnet::ArgumentError("image " + std::to_string(h.id) + ": tvec must hold 3 numbers");
    std::memcpy(h.qvec.data(), q.data(), sizeof h.qvec);
    std::memcpy(h.tvec.data(), t.data(), sizeof h.tvec);
    h.camera_id = integer_field<std::int64_t>(rec, "camera_id", image);
    h.name = text_field(rec, "name", image);
    F64Array xy = np.asarray(rec.attr("xys"), "float64").attr("reshape")(-1, 2);
    I64Array id = np.asarray(rec.attr("point3D_ids"), "int64").attr("reshape")(-1);
    if (xy.shape(0) != id.size())
      throw quarnet::ArgumentError("image " + std::to_string(h.id) + ": " + std::to_string(xy.shape(0)) + " xys but " +
                                   std::to_string(id.size()) + " point3D_ids");
    in.headers.push_back(std::move(h));
    in.xys.push_back(std::move(xy));
    in.ids.push_back(std::move(id));
  }
  for (std::size_t i = 0; i < in.headers.size(); ++i)
    in.views.push_back({&in.headers[i], static_cast<std::size_t>(in.ids[i].size()), in.xys[i].data(), in.ids[i].data()});
  return in;
}

void write_bytes(const std::string& path, std::span<const std::uint8_t> bytes) {
  qh::without_gil([&] { quarnet::io::write_file_atomic(path, bytes); });
}

void write_text(const std::string& path, const std::string& text) {
  write_bytes(path, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// ---- module functions ------------------------------------------------------

py::object read_intrinsics_binary(const qh::Call& c, py::object path_arg) {
  const std::string path = qh::fs_encode(path_arg);
  auto cameras = named(path, [&] {
    quarnet::io::FileReader file(path);
    return colmap::parse_cameras_binary(file.fill_all());
  });
  return cameras_dict(c.ns, cameras, path);
}

py::object read_intrinsics_text(const qh::Call& c, py::object path_arg) {
  const std::string path = qh::fs_encode(path_arg);
  auto cameras = parse_text_file(path, [](std::string_view text) { return colmap::parse_cameras_text(text); });
  return cameras_dict(c.ns, cameras, path);
}

py::object read_extrinsics_binary(const qh::Call& c, py::object path_arg) {
  const std::string path = qh::fs_encode(path_arg);
  std::optional<quarnet::io::FileReader> file;
  auto index = named(path, [&] {
    file.emplace(path);
    return colmap::index_images_binary(file->fill_all());
  });
  const std::span<const std::uint8_t> bytes = file->fill(0);  // every byte read
  py::dict out;
  for (const auto& im : index) {
    const auto n = static_cast<py::ssize_t>(im.num_points);
    F64Array xys({n, py::ssize_t{2}});
    I64Array ids(n);
    colmap::decode_points_binary(bytes, im, xys.mutable_data(), ids.mutable_data());
    out[py::int_(im.header.id)] = image_record(c.ns, im.header, path, xys, ids);
  }
  return out;
}

py::object read_extrinsics_text(const qh::Call& c, py::object path_arg) {
  const std::string path = qh::fs_encode(path_arg);
  auto images = parse_text_file(path, [](std::string_view text) { return colmap::parse_images_text(text); });
  py::dict out;
  for (const auto& im : images) {
    const auto n = static_cast<py::ssize_t>(im.point3d_ids.size());
    F64Array xys({n, py::ssize_t{2}});
    I64Array ids(n);
    if (n) {
      std::memcpy(xys.mutable_data(), im.xys.data(), im.xys.size() * sizeof(double));
      std::memcpy(ids.mutable_data(), im.point3d_ids.data(), im.point3d_ids.size() * sizeof(std::int64_t));
    }
    out[py::int_(im.header.id)] = image_record(c.ns, im.header, path, xys, ids);
  }
  return out;
}

py::object write_intrinsics_binary(const qh::Call& c, py::object cameras_arg, py::object path_arg) {
  auto cameras = cameras_from(c.ns, cameras_arg);
  write_bytes(qh::fs_encode(path_arg), colmap::serialize_cameras_binary(cameras));
  return py::none();
}

py::object write_intrinsics_text(const qh::Call& c, py::object cameras_arg, py::object path_arg) {
  auto cameras = cameras_from(c.ns, cameras_arg);
  write_text(qh::fs_encode(path_arg), colmap::serialize_cameras_text(cameras));
  return py::none();
}

py::object write_extrinsics_binary(const qh::Call& c, py::object images_arg, py::object path_arg) {
  ImagesIn images = images_from(c.ns, images_arg);
  const std::string path = qh::fs_encode(path_arg);
  auto bytes = qh::without_gil([&] { return colmap::serialize_images_binary(images.views); });
  write_bytes(path, bytes);
  return py::none();
}

py::object write_extrinsics_text(const qh::Call& c, py::object images_arg, py::object path_arg) {
  ImagesIn images = images_from(c.ns, images_arg);
  const std::string path = qh::fs_encode(path_arg);
  auto text = qh::without_gil([&] { return colmap::serialize_images_text(images.views); });
  write_text(path, text);
  return py::none();
}

py::object qvec2rotmat(const qh::Call& c, py::object qvec) {
  F64Array q = c.ns.np().asarray(qvec, "float64").attr("reshape")(-1);
  if (q.size() != 4) throw quarnet::ArgumentError("qvec must hold 4 numbers (w, x, y, z), got " + std::to_string(q.size()));
  const auto r = colmap::qvec_to_rotmat({q.data()[0], q.data()[1], q.data()[2], q.data()[3]});
  F64Array out({py::ssize_t{3}, py::ssize_t{3}});
  std::memcpy(out.mutable_data(), r.data(), sizeof r);
  return out;
}

py::object rotmat2qvec(const qh::Call& c, py::object R) {
  const F64Array m = qh::f64_array(c.ns.np(), R);
  if (m.ndim() != 2 || m.shape(0) != 3 || m.shape(1) != 3)
    throw quarnet::ArgumentError("rotation matrix must be 3x3, got shape " + py::str(py::tuple(m.attr("shape"))).cast<std::string>());
  colmap::Mat3 r;
  std::memcpy(r.data(), m.data(), sizeof r);
  const auto q = colmap::rotmat_to_qvec(r);
  return f64_copy(q.data(), 4);
}

py::object read_model(const qh::Call& c, py::object path) {
  const quarnet::scene::SparseModel m = quarnet::scene::read_sparse_model(c.ns, path);
  return c.ns["SparseModel"](m.images, m.cameras, m.images_file, m.cameras_file);
}

py::object write_model(const qh::Call& c, py::object cameras, py::object images, py::object path, py::object ext) {
  quarnet::scene::write_sparse_model(c.ns, cameras, images, path, ext);
  return py::none();
}

py::object camera_intrinsics(const qh::Call& c, py::object camera, py::object cameras_file) {
  const quarnet::scene::Intrinsics k = quarnet::scene::camera_intrinsics(camera, cameras_file);
  return py::make_tuple(k.K, k.warning);
}

}  // namespace

QUARNET_MODULE(colmap_loader, ns) {
  ns.import("os");
  ns.import("numpy", "np");
  ns.import_from("collections", "namedtuple");

  ns.set("Camera", ns["namedtuple"]("Camera", py::make_tuple("id", "model", "width", "height", "params"),
                                    py::arg("module") = ns.module_name()));
  ns.set("Image", ns["namedtuple"]("Image", py::make_tuple("id", "qvec", "tvec", "camera_id", "name", "xys", "point3D_ids"),
                                   py::arg("module") = ns.module_name()));

  ns.set("SparseModel", ns["namedtuple"]("SparseModel", py::make_tuple("images", "cameras", "images_path", "cameras_path"),
                                        py::arg("module") = ns.module_name()));

  qh::def(ns, "read_intrinsics_binary", {"path"}, read_intrinsics_binary);
  qh::def(ns, "read_intrinsics_text", {"path"}, read_intrinsics_text);
  qh::def(ns, "read_extrinsics_binary", {"path"}, read_extrinsics_binary);
  qh::def(ns, "read_extrinsics_text", {"path"}, read_extrinsics_text);
  qh::def(ns, "write_intrinsics_binary", {"cameras", "path"}, write_intrinsics_binary);
  qh::def(ns, "write_intrinsics_text", {"cameras", "path"}, write_intrinsics_text);
  qh::def(ns, "write_extrinsics_binary", {"images", "path"}, write_extrinsics_binary);
  qh::def(ns, "write_extrinsics_text", {"images", "path"}, write_extrinsics_text);
  qh::def(ns, "read_model", {"path"}, read_model);
  qh::def(ns, "write_model", {"cameras", "images", "path", qh::arg("ext", ".bin")}, write_model);
  qh::def(ns, "camera_intrinsics", {"camera", qh::arg("cameras_file", py::none())}, camera_intrinsics);
  qh::def(ns, "qvec2rotmat", {"qvec"}, qvec2rotmat);
  qh::def(ns, "rotmat2qvec", {"R"}, rotmat2qvec);
}
