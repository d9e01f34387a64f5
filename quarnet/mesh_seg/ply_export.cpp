// mesh.export(path) of a mesh into a PLY file, as the cut writes its outputs.
// Where the gate (native_path.hpp) vouches for trimesh's very bytes, the file
// is written natively, streamed through a fixed buffer (core ply/
// mesh_writer.hpp): trimesh's export_ply builds the whole file in memory
// first, in structured arrays and then their bytes, before writing it. Its
// header is built as export_ply builds it, from trimesh's own template. The
// double covers binary PLY of a plain Trimesh with no colours, vertex colours
// or face colours, and no vertex normals or attributes to write; anything
// else, and a replaced export or exporter, goes to mesh.export(path).
//
//   _export_ply(mesh, path)   the same, a private function of the module for
//                             the differential tests
#include <pybind11/numpy.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "interruptible.hpp"
#include "native_path.hpp"
#include "quarnet/ply/mesh_writer.hpp"
#include "trimesh_native.hpp"

namespace tessaron {
namespace {

namespace native = quarnet::host::native;
using quarnet::numeric::ElementType;
using quarnet::numeric::Kind;

constexpr ElementType kUint8{Kind::Unsigned, 1};

// The export chain mesh.export(path) runs for a .ply path, each step as
// trimesh defines it, at a version the table lists.
bool export_chain_genuine(const py::object& mesh) {
  if (!native::is_instance_of_exactly(mesh, "trimesh.base", "Trimesh") || !native::proven("ply export")) return false;
  if (!bound_method_defined_by(mesh, "export", "trimesh.base", "Trimesh.export")) return false;
  py::module_ exporters = py::module_::import("trimesh.exchange.export");
  py::object by_type = py::getattr(exporters, "_mesh_exporters", py::none());
  if (!PyDict_Check(by_type.ptr()) || !py::reinterpret_borrow<py::dict>(by_type).contains("ply")) return false;
  return native::defined_by(exporters.attr("export_mesh"), "trimesh.exchange.export", "export_mesh") &&
         native::defined_by(by_type["ply"], "trimesh.exchange.ply", "export_ply") &&
         native::defined_by(py::module_::import("trimesh.resources").attr("get_json"), "trimesh.resources", "get_json") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "vertices") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "faces") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "visual") &&
         native::class_attribute_defined_by("trimesh.caching", "Cache", "__contains__") &&
         native::class_attribute_defined_by("trimesh.visual.color", "ColorVisuals", "kind") &&
         native::class_attribute_defined_by("trimesh.visual.color", "ColorVisuals", "vertex_colors") &&
         native::class_attribute_defined_by("trimesh.visual.color", "ColorVisuals", "face_colors");
}

// An empty plain dict (the mesh's vertex or face attributes).
bool empty_dict(const py::object& value) { return PyDict_CheckExact(value.ptr()) && PyDict_Size(value.ptr()) == 0; }

// Every value fits a float32 (as numpy casts it, without an overflow warning).
bool float32_values(std::span<const double> values) {
  constexpr double kMax = std::numeric_limits<float>::max();
  bool fits = true;
  for (const double x : values) fits &= std::isfinite(x) && std::abs(x) <= kMax;
  return fits;
}

// export_ply's header: its template pieces in its order, substituted by
// string.Template, encoded as UTF-8.
std::string header_of(const char* colours_of, std::size_t vertices, std::size_t faces) {
  py::dict templates = py::module_::import("trimesh.resources").attr("get_json")("templates/ply.json");
  py::list pieces;
  pieces.append(templates["intro"]);
  pieces.append(templates["vertex"]);
  if (std::string_view(colours_of) == "vertex") pieces.append(templates["color"]);
  pieces.append(templates["face"]);
  if (std::string_view(colours_of) == "face") pieces.append(templates["color"]);
  pieces.append(templates["outro"]);
  py::object text = py::module_::import("string").attr("Template")(py::str("").attr("join")(pieces));
  py::object header = text.attr("substitute")(py::dict(py::arg("encoding") = "binary_little_endian",
                                                       py::arg("vertex_count") = vertices, py::arg("face_count") = faces));
  return header.attr("encode")("utf-8").cast<std::string>();
}

// Writes the file natively where the double applies; false otherwise.
bool write_natively(const py::object& mesh, const py::object& path) {
  if (!PyUnicode_CheckExact(path.ptr())) return false;
  const std::string where = qh::fs_encode(path);
  std::string suffix = where.substr(where.rfind('.') + 1);  // export_mesh's file type
  for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (suffix != "ply" || where.empty() || where[0] == '~') return false;  // export_mesh expands a leading ~
  if (!export_chain_genuine(mesh)) return false;

  const auto vertices = native::array(mesh.attr("vertices"),
                                      native::ArrayRule(2).columns(3).of(native::float64).library_owned().contiguous());
  const auto faces = native::array(mesh.attr("faces"),
                                   native::ArrayRule(2).columns(3).of(native::int64).library_owned().contiguous());
  if (!vertices || !faces) return false;
  py::object cache = mesh.attr("_cache");
  if (!native::is_instance_of_exactly(cache, "trimesh.caching", "Cache")) return false;
  if (cache_may_hold(cache, "vertex_normals") && qh::truthy(cache.attr("__contains__")("vertex_normals"))) return false;
  if (!empty_dict(mesh.attr("vertex_attributes")) || !empty_dict(mesh.attr("face_attributes"))) return false;
  py::object visual = mesh.attr("visual");
  if (!native::is_instance_of_exactly(visual, "trimesh.visual.color", "ColorVisuals")) return false;

  quarnet::ply::MeshRecords records{{vertices->typed<double>(), 3 * vertices->shape[0]},
                                    {faces->typed<std::int64_t>(), 3 * faces->shape[0]}, {}, {}};
  py::object kind = visual.attr("kind");
  const char* colours_of = "none";
  py::object colours;  // held while written
  if (!kind.is_none()) {
    const std::string k = py::str(kind).cast<std::string>();
    if (k != "vertex" && k != "face") return false;
    colours = visual.attr(k == "vertex" ? "vertex_colors" : "face_colors");
    const auto view = native::array(colours, native::ArrayRule(2).columns(4).of(kUint8).library_owned().contiguous());
    const std::size_t rows = k == "vertex" ? vertices->shape[0] : faces->shape[0];
    if (!view || view->shape[0] != rows) return false;  // export_ply leaves such colours out, or fails
    (k == "vertex" ? records.vertex_colors : records.face_colors) = {view->typed<std::uint8_t>(), 4 * rows};
    colours_of = k == "vertex" ? "vertex" : "face";
  }
  if (!qh::without_gil([&] { return float32_values(records.vertices); })) return false;

  const std::string header = header_of(colours_of, vertices->shape[0], faces->shape[0]);
  try {
    qh::interruptible([&] { quarnet::ply::write_mesh(where, header, records); });
  } catch (const quarnet::OsError& e) {
    // open() names the file; a failed write or close does not, as Python's
    qh::raise_os_error(e.code(), e.path().empty() ? py::object(py::none()) : py::object(path));
  }
  return true;
}

py::object export_ply(const qh::Call& c, py::object mesh, py::object path) {
  (void)c;
  export_mesh_file(mesh, path);
  return py::none();
}

}  // namespace

void export_mesh_file(const py::object& mesh, const py::object& path) {
  if (!write_natively(mesh, path)) mesh.attr("export")(path);
}

void define_ply_export(const qh::Namespace& ns) {
  qh::def(ns, "_export_ply", {"mesh", "path"}, export_ply);
}

}  // namespace tessaron
