#include "native_path.hpp"

#include <pybind11/gil_safe_call_once.h>
#include <pybind11/numpy.h>

#include <cstring>
#include <string>

namespace quarnet::host::native {
namespace {

namespace numeric = quarnet::numeric;

// numpy and the types the checks compare with, fetched at the first check.
// The GIL-safe once-call, not a function-local static: the import may release
// the GIL, and a static's guard held meanwhile deadlocks a thread that waits
// on it holding the GIL.
struct NumpyTypes {
  py::module_ numpy;
  PyObject *ndarray, *float64, *float32, *float16;
};

const NumpyTypes& numpy_types() {
  PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<NumpyTypes> storage;
  return storage
      .call_once_and_store_result([] {
        py::module_ numpy = py::module_::import("numpy");
        auto attr = [&](const char* name) { return py::object(numpy.attr(name)).release().ptr(); };
        return NumpyTypes{numpy, attr("ndarray"), attr("float64"), attr("float32"), attr("float16")};
      })
      .get_stored();
}

const py::module_& real_numpy() { return numpy_types().numpy; }

// sys.modules[name], or None where it is not imported.
py::object imported(const char* name) {
  py::dict modules = py::module_::import("sys").attr("modules");
  py::str key(name);
  return modules.contains(key) ? py::object(modules[key]) : py::object(py::none());
}

// The directory of the top-level package of an imported module, with a
// trailing slash ("" when unknown).
std::string package_root(const char* module) {
  std::string top(module);
  top = top.substr(0, top.find('.'));
  py::object pkg = imported(top.c_str());
  if (pkg.is_none() || !py::hasattr(pkg, "__file__") || pkg.attr("__file__").is_none()) return {};
  py::object dirname = py::module_::import("os").attr("path").attr("dirname");
  return py::str(dirname(pkg.attr("__file__"))).cast<std::string>() + "/";
}

std::string code_file(py::handle fn) {
  return py::str(fn.attr("__code__").attr("co_filename")).cast<std::string>();
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return !prefix.empty() && s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

// ---- 1 -----------------------------------------------------------------------

bool is_numpy(py::handle module) { return module.is(real_numpy()); }

bool defined_by(py::handle fn, const char* module, const char* qualname) {
  if (!PyFunction_Check(fn.ptr())) return false;
  py::object mod = imported(module);
  if (mod.is_none() || !py::hasattr(mod, "__file__")) return false;
  if (PyFunction_GET_GLOBALS(fn.ptr()) != mod.attr("__dict__").ptr()) return false;
  if (py::str(fn.attr("__qualname__")).cast<std::string>() != qualname) return false;
  return code_file(fn) == py::str(mod.attr("__file__")).cast<std::string>();
}

// obj.__module__ names the package or one of its modules.
bool module_in_package(py::handle obj, const char* package) {
  py::object module = py::getattr(obj, "__module__", py::none());
  if (!PyUnicode_Check(module.ptr())) return false;
  const std::string name = module.cast<std::string>(), top(package);
  return name == top || starts_with(name, top + ".");
}

bool from_package(py::handle fn, const char* package) {
  if (PyCFunction_Check(fn.ptr())) return module_in_package(fn, package);
  if (!PyFunction_Check(fn.ptr())) {
    // numpy wraps its Python functions in a dispatcher type of its own.
    if (!module_in_package(py::type::of(fn), package)) return false;
    py::object implementation = py::getattr(fn, "_implementation", py::none());
    return PyFunction_Check(implementation.ptr()) && from_package(implementation, package);
  }
  return starts_with(code_file(fn), package_root(package));
}

bool package_functions(py::handle package, std::initializer_list<const char*> names) {
  const std::string top = py::str(package.attr("__name__")).cast<std::string>();
  for (const char* name : names) {
    py::object fn = py::getattr(package, name, py::none());
    if (!from_package(fn, top.c_str())) return false;
  }
  return true;
}

bool is_instance_of_exactly(py::handle obj, const char* module, const char* qualname) {
  py::object mod = imported(module);
  if (mod.is_none()) return false;
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()));
  std::string name(qualname);
  if (name.find('.') != std::string::npos) return false;  // module-level classes only
  PyObject* cls = PyDict_GetItemString(mod.attr("__dict__").ptr(), qualname);
  return cls != nullptr && cls == type;
}

bool class_attribute_defined_by(const char* module, const char* qualname, const char* name) {
  py::object mod = imported(module);
  if (mod.is_none()) return false;
  py::object cls = py::getattr(mod, qualname, py::none());
  if (!PyType_Check(cls.ptr())) return false;
  PyObject* attr = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, name);
  if (attr == nullptr) return false;
  py::object fn = py::reinterpret_borrow<py::object>(attr);
  if (PyObject_TypeCheck(attr, &PyProperty_Type)) fn = fn.attr("fget");
  // A decorator of the library's own (its caching property, say) may sit
  // between the attribute and the function the class body defines.
  const std::string root = package_root(module);
  while (PyFunction_Check(fn.ptr()) && py::hasattr(fn, "__wrapped__")) {
    if (!starts_with(code_file(fn), root)) return false;
    fn = fn.attr("__wrapped__");
  }
  return defined_by(fn, module, (std::string(qualname) + "." + name).c_str());
}

// ---- 2 -----------------------------------------------------------------------

bool proven(const char* name) {
  return py::module_::import("quarnet.native_doubles").attr("covered")(name).cast<bool>();
}

// ---- 3 -----------------------------------------------------------------------

std::size_t ArrayView::size() const noexcept {
  std::size_t n = 1;
  for (const std::size_t s : shape) n *= s;
  return n;
}

numeric::Strided2D ArrayView::as_2d() const noexcept {
  return {data, shape.at(0), shape.at(1), strides.at(0), strides.at(1), element};
}

std::optional<numeric::ElementType> plain_element(const py::handle& dtype_obj) {
  if (!py::isinstance<py::dtype>(dtype_obj)) return std::nullopt;
  const auto dtype = py::reinterpret_borrow<py::dtype>(dtype_obj);
  if (dtype.byteorder() == '>') return std::nullopt;  // little-endian host: '<', '=' and '|' are native
  numeric::ElementType t;
  t.size = static_cast<std::uint8_t>(dtype.itemsize());
  switch (dtype.kind()) {
    case 'b': t.kind = numeric::Kind::Bool; break;
    case 'i': t.kind = numeric::Kind::Signed; break;
    case 'u': t.kind = numeric::Kind::Unsigned; break;
    case 'f': t.kind = numeric::Kind::Float; break;
    default: return std::nullopt;
  }
  if (dtype.itemsize() > 8 || !numeric::is_supported(t)) return std::nullopt;
  return t;
}

std::optional<ArrayView> array(py::handle obj, const ArrayRule& rule) {
  PyObject* ndarray = numpy_types().ndarray;
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()));
  if (rule.exact_ndarray ? type != ndarray : PyObject_IsInstance(obj.ptr(), ndarray) != 1) {
    PyErr_Clear();
    return std::nullopt;
  }
  const auto a = py::reinterpret_borrow<py::array>(obj);
  if (a.ndim() != rule.ndim) return std::nullopt;
  if (rule.cols && (a.ndim() == 0 || static_cast<std::size_t>(a.shape(a.ndim() - 1)) != *rule.cols)) return std::nullopt;
  const auto element = plain_element(a.dtype());
  if (!element || (rule.element && !(*element == *rule.element))) return std::nullopt;
  constexpr int kCContiguous = 0x0001, kAligned = 0x0100;  // NPY_ARRAY_C_CONTIGUOUS, NPY_ARRAY_ALIGNED
  const bool packed = (a.flags() & kCContiguous) != 0 && (a.flags() & kAligned) != 0;
  if (rule.packed && !packed) return std::nullopt;
  ArrayView view;
  view.data = static_cast<const std::uint8_t*>(a.data());
  for (py::ssize_t k = 0; k < a.ndim(); ++k) {
    view.shape.push_back(static_cast<std::size_t>(a.shape(k)));
    view.strides.push_back(a.strides(k));
  }
  view.element = *element;
  view.packed = packed;
  return view;
}

// ---- 4 -----------------------------------------------------------------------

std::optional<double> plain_scalar(py::handle v, bool float_context) {
  const NumpyTypes& types = numpy_types();
  PyObject *f64 = types.float64, *f32 = types.float32, *f16 = types.float16;
  PyObject* o = v.ptr();
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  auto* type = reinterpret_cast<PyObject*>(Py_TYPE(o));
  if (type == f64 || type == f32 || type == f16) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return d;
  }
  if ((PyLong_CheckExact(o) || PyBool_Check(o)) && float_context) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (n == -1 && PyErr_Occurred()) throw py::error_already_set();
    constexpr long long kExact = 1LL << 53;
    if (overflow == 0 && n >= -kExact && n <= kExact) return static_cast<double>(n);
  }
  return std::nullopt;
}

}  // namespace quarnet::host::native
