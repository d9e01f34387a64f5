// The native double of mesh.submesh([index], only_watertight=False) for a
// plain Trimesh. trimesh builds the sub-mesh as
//
//   current = faces[index]; unique = np.unique(current)
//   mask[unique] = np.arange(len(unique)); new_faces = mask[current]
//   Trimesh(vertices=vertices[unique], faces=new_faces,
//           face_normals=mesh.face_normals[index],
//           visual=mesh.visual.face_subset(index),
//           metadata=deepcopy(mesh.metadata), process=False)
//   with _source = deepcopy(mesh.source)
//
// The sort behind np.unique, which costs most of it, is replaced by a native
// pass over the vertex ids, and the gathers by native copies of rows; every
// other step is the same call on the same objects, so the mesh built is the
// one trimesh builds.
#include <pybind11/numpy.h>

#include <cstring>

#include "native_path.hpp"
#include "quarnet/mesh/submesh_index.hpp"
#include "trimesh_native.hpp"

namespace tessaron {
namespace {

namespace native = quarnet::host::native;
namespace mesh_core = quarnet::mesh;

// obj.<name> is a method bound to obj whose function the library defines as
// `qualname`.
bool bound_method_defined_by(const py::object& obj, const char* name, const char* module, const char* qualname) {
  py::object bound = py::getattr(obj, name, py::none());
  if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_SELF(bound.ptr()) != obj.ptr()) return false;
  return native::defined_by(py::handle(PyMethod_GET_FUNCTION(bound.ptr())), module, qualname);
}

// source[index] for the rows of a 2-D array: a native gather into a new
// ndarray where numpy's indexing would give one (an exact, packed ndarray of
// a plain element type, ids in range); numpy's indexing otherwise.
py::object rows_of(const py::object& source, const py::object& index, std::span<const std::int64_t> ids) {
  const auto view = native::array(source, native::ArrayRule(2).contiguous());
  if (!view || !mesh_core::ids_in_range(ids, view->shape[0])) return source[index];
  const auto a = py::reinterpret_borrow<py::array>(source);
  py::array out(a.dtype(), {static_cast<py::ssize_t>(ids.size()), a.shape(1)});
  const auto row_bytes = static_cast<std::size_t>(a.strides(0));
  void* dst = out.mutable_data();
  qh::without_gil([&] { mesh_core::gather_rows(view->data, row_bytes, ids, dst); });
  return out;
}

enum class VisualKind { Colors, Texture, Other };

VisualKind visual_kind(const py::object& visual) {
  if (native::is_instance_of_exactly(visual, "trimesh.visual.color", "ColorVisuals") &&
      bound_method_defined_by(visual, "face_subset", "trimesh.visual.color", "ColorVisuals.face_subset"))
    return VisualKind::Colors;
  if (native::is_instance_of_exactly(visual, "trimesh.visual.texture", "TextureVisuals") &&
      bound_method_defined_by(visual, "face_subset", "trimesh.visual.texture", "TextureVisuals.face_subset"))
    return VisualKind::Texture;
  return VisualKind::Other;
}

// visual.face_subset(index), given the sorted vertex ids the faces use (what
// face_subset computes again with np.unique), as an array and a span.
py::object face_subset(const py::object& visual, const py::object& index, const py::object& unique,
                       std::span<const std::int64_t> used) {
  switch (visual_kind(visual)) {
    case VisualKind::Colors: {
      py::module_ color = py::module_::import("trimesh.visual.color");
      if (!qh::truthy(visual.attr("defined"))) return color.attr("ColorVisuals")();
      // With vertex colours, face_subset also derives face colours, which the
      // new visual drops again when its vertex colours are set.
      if (py::str(visual.attr("kind")).equal(py::str("vertex")))
        return color.attr("ColorVisuals")(py::arg("vertex_colors") = rows_of(visual.attr("vertex_colors").attr("view")(py::module_::import("numpy").attr("ndarray")), unique, used));
      break;
    }
    case VisualKind::Texture: {
      py::object uv = visual.attr("uv");
      return uv.is_none() ? visual.attr("copy")() : visual.attr("copy")(uv[unique]);
    }
    case VisualKind::Other:
      break;
  }
  return visual.attr("face_subset")(index);
}

// copy.deepcopy(obj), with every plain numpy array inside its dicts, lists
// and tuples (a PLY file's raw element data, in a loaded mesh's metadata)
// copied as ndarray.__deepcopy__ copies it (a new C-ordered array of the
// same dtype, shape and bytes) but in one memory copy, where numpy copies
// structured elements field by field: those copies are handed to deepcopy
// in its memo.
void copy_arrays(const py::handle& obj, const py::handle& ndarray, py::dict& memo, int depth) {
  if (depth > 32) return;  // deepcopy copies what lies deeper
  if (PyDict_Check(obj.ptr())) {
    for (auto item : py::reinterpret_borrow<py::dict>(obj)) copy_arrays(item.second, ndarray, memo, depth + 1);
  } else if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) {
    for (py::handle item : obj) copy_arrays(item, ndarray, memo, depth + 1);
  } else if (reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == ndarray.ptr()) {
    const auto a = py::reinterpret_borrow<py::array>(obj);
    constexpr int kCContiguous = 0x0001;  // NPY_ARRAY_C_CONTIGUOUS
    if ((a.flags() & kCContiguous) == 0 || a.dtype().attr("hasobject").cast<bool>()) return;
    std::vector<py::ssize_t> shape(a.shape(), a.shape() + a.ndim());
    py::array copy(a.dtype(), shape);
    std::memcpy(copy.mutable_data(), a.data(), static_cast<std::size_t>(a.nbytes()));
    memo[py::int_(reinterpret_cast<std::uintptr_t>(obj.ptr()))] = copy;
  }
}

py::object deepcopy(const py::object& obj) {
  py::dict memo;
  copy_arrays(obj, py::module_::import("numpy").attr("ndarray"), memo, 0);
  return py::module_::import("copy").attr("deepcopy")(obj, memo);
}

}  // namespace

py::array_t<std::int64_t> adopt(std::vector<std::int64_t>&& values, std::size_t cols) {
  auto* held = new std::vector<std::int64_t>(std::move(values));
  py::capsule owner(held, [](void* p) { delete static_cast<std::vector<std::int64_t>*>(p); });
  const auto n = static_cast<py::ssize_t>(held->size() / cols);
  if (cols == 1) return py::array_t<std::int64_t>({n}, held->data(), owner);
  return py::array_t<std::int64_t>({n, static_cast<py::ssize_t>(cols)}, held->data(), owner);
}

bool submesh_is_native(const qh::Namespace& ns, const py::object& mesh) {
  const qh::Numpy np = ns.np();
  if (!native::is_numpy(np) || !native::package_functions(np, {"arange", "setdiff1d"}) ||
      !native::is_instance_of_exactly(mesh, "trimesh.base", "Trimesh") || !native::proven("cut"))
    return false;
  return bound_method_defined_by(mesh, "submesh", "trimesh.base", "Trimesh.submesh") &&
         native::defined_by(py::module_::import("trimesh.util").attr("submesh"), "trimesh.util", "submesh") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "faces") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "vertices") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "face_normals") &&
         native::class_attribute_defined_by("trimesh.base", "Trimesh", "visual");
}

std::optional<py::object> native_submesh(const py::object& mesh, const py::object& faces) {
  const auto index = native::array(faces, native::ArrayRule(1).of(native::int64).contiguous());
  const auto vertices = native::array(mesh.attr("vertices"),
                                      native::ArrayRule(2).columns(3).of(native::float64).library_owned().contiguous());
  const auto mesh_faces = native::array(mesh.attr("faces"),
                                   native::ArrayRule(2).columns(3).of(native::int64).library_owned().contiguous());
  if (!index || !vertices || !mesh_faces) return std::nullopt;
  if (index->shape[0] == 0) return py::object(py::list());  // an empty group yields no mesh

  const std::span<const std::int64_t> ids{index->typed<std::int64_t>(), index->shape[0]};
  const mesh_core::IndexedMesh m{{vertices->typed<double>(), 3 * vertices->shape[0]},
                                 {mesh_faces->typed<std::int64_t>(), 3 * mesh_faces->shape[0]}};
  const bool plain = qh::without_gil([&] { return mesh_core::ids_in_range(ids, m.face_count()) && m.faces_in_range(); });
  if (!plain) return std::nullopt;

  mesh_core::FaceCut cut = qh::without_gil([&] { return mesh_core::cut_faces(m, ids); });
  py::array_t<std::int64_t> unique = adopt(std::move(cut.vertices), 1);
  py::array_t<std::int64_t> new_faces = adopt(std::move(cut.faces), 3);

  // In trimesh's order: normals, faces, vertices, visual, then the mesh.
  py::module_ np = py::module_::import("numpy");
  py::object normals = rows_of(mesh.attr("face_normals"), faces, ids);
  const std::span<const std::int64_t> used{unique.data(), static_cast<std::size_t>(unique.size())};
  py::object sub_vertices = rows_of(mesh.attr("vertices").attr("view")(np.attr("ndarray")), unique, used);
  py::object visual = face_subset(mesh.attr("visual"), faces, unique, used);
  py::object sub = py::type::of(mesh)(py::arg("vertices") = sub_vertices, py::arg("faces") = new_faces,
                                      py::arg("face_normals") = normals, py::arg("visual") = visual,
                                      py::arg("metadata") = deepcopy(mesh.attr("metadata")), py::arg("process") = false);
  sub.attr("_source") = deepcopy(mesh.attr("source"));
  py::list result;
  result.append(sub);
  return py::object(result);
}

}  // namespace tessaron
