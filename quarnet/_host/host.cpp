#include "host.hpp"

#include <structmember.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include "quarnet/errors.hpp"

namespace quarnet::host {
namespace {

// ---- the native function type ---------------------------------------------

struct Record {
  std::string name;
  std::string qualname;
  std::vector<Param> params;
  std::vector<py::object> param_names;  // str objects, for keyword matching
  std::size_t required = 0;             // leading parameters without default
  py::object doc;                       // str or None
  py::object module;                    // str
  Namespace ns;
  detail::Body body;
};

struct FunctionObject {
  PyObject_HEAD
  Record* rec;
};

Record& record_of(PyObject* self) { return *reinterpret_cast<FunctionObject*>(self)->rec; }

// The result of an abstract-object call: a new reference, or null with an error set.
template <class T = py::object>
T result_of(PyObject* r) {
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<T>(r);
}

[[noreturn]] void raise_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw py::error_already_set();
}

std::string quoted_list(const std::vector<std::string>& names) {
  // 'a' / 'a' and 'b' / 'a', 'b', and 'c' (the interpreter's wording)
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'" + names[i] + "'";
  }
  return out;
}

std::vector<py::object> bind_arguments(const Record& r, PyObject* args, PyObject* kwargs) {
  const std::size_t count = r.params.size();
  const auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  if (given > count) {
    std::string takes = r.required < count
                            ? "from " + std::to_string(r.required) + " to " + std::to_string(count) + " positional arguments"
                            : std::to_string(count) + (count == 1 ? " positional argument" : " positional arguments");
    raise_type_error(r.qualname + "() takes " + takes + " but " + std::to_string(given) +
                     (given == 1 ? " was given" : " were given"));
  }
  std::vector<py::object> bound(count);
  for (std::size_t i = 0; i < given; ++i) bound[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) raise_type_error(r.qualname + "() keywords must be strings");
      std::size_t j = 0;
      for (; j < count; ++j) {
        const int cmp = PyUnicode_Compare(key, r.param_names[j].ptr());
        if (cmp == 0) break;
        if (cmp == -1 && PyErr_Occurred()) throw py::error_already_set();
      }
      const std::string key_text = py::reinterpret_borrow<py::str>(key).cast<std::string>();
      if (j == count) raise_type_error(r.qualname + "() got an unexpected keyword argument '" + key_text + "'");
      if (bound[j]) raise_type_error(r.qualname + "() got multiple values for argument '" + key_text + "'");
      bound[j] = py::reinterpret_borrow<py::object>(value);
    }
  }
  std::vector<std::string> missing;
  for (std::size_t j = 0; j < count; ++j) {
    if (bound[j]) continue;
    if (r.params[j].default_value) {
      bound[j] = r.params[j].default_value;
    } else {
      missing.push_back(r.params[j].name);
    }
  }
  if (!missing.empty()) {
    raise_type_error(r.qualname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                     (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
  }
  return bound;
}

// OSError(code, strerror(code)[; detail], filename): the subclass follows the code.
py::object os_error(int code, py::handle filename, std::string_view detail) {
  std::string message = std::strerror(code);
  if (!detail.empty()) message.append("; ").append(detail);
  return py::reinterpret_borrow<py::object>(PyExc_OSError)(code, message, filename);
}

void set_os_error(const quarnet::OsError& e) {
  try {
    raise_os_error(e);
  } catch (py::error_already_set& error) {
    error.restore();
  }
}

void set_value_error(const char* message) {
  try {
    PyErr_SetObject(PyExc_ValueError, fs_decode(message).ptr());
  } catch (py::error_already_set& error) {
    error.restore();
  }
}

// Sets the Python error for the exception being handled (call inside a catch).
void set_error_from_current_exception() {
  try {
    throw;
  } catch (py::error_already_set& e) {
    e.restore();
  } catch (py::builtin_exception& e) {
    e.set_error();
  } catch (const quarnet::OsError& e) {
    set_os_error(e);
  } catch (const quarnet::FormatError& e) {
    set_value_error(e.what());
  } catch (const quarnet::ArgumentError& e) {
    set_value_error(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
  }
}

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  Record& r = record_of(self);
  try {
    std::vector<py::object> bound = bind_arguments(r, args, kwargs);
    const Call call{r.ns};
    py::object result = r.body(call, bound);
    if (!result) return py::none().release().ptr();
    return result.release().ptr();
  } catch (...) {
    set_error_from_current_exception();
  }
  return nullptr;
}

void function_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<FunctionObject*>(self)->rec;
  type->tp_free(self);
  Py_DECREF(type);
}

// A function placed in a class binds its first parameter to the instance.
PyObject* function_get(PyObject* self, PyObject* obj, PyObject* /*type*/) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
  return PyUnicode_FromFormat("<native function %s at %p>", record_of(self).qualname.c_str(), self);
}

PyObject* get_name(PyObject* self, void*) { return PyUnicode_FromString(record_of(self).name.c_str()); }
PyObject* get_qualname(PyObject* self, void*) { return PyUnicode_FromString(record_of(self).qualname.c_str()); }
PyObject* get_doc(PyObject* self, void*) { return py::object(record_of(self).doc).release().ptr(); }
PyObject* get_module(PyObject* self, void*) { return py::object(record_of(self).module).release().ptr(); }

int set_qualname(PyObject* self, PyObject* value, void*) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  record_of(self).qualname = PyUnicode_AsUTF8(value);
  return 0;
}

int set_doc(PyObject* self, PyObject* value, void*) {
  record_of(self).doc = py::reinterpret_borrow<py::object>(value ? value : Py_None);
  return 0;
}

int set_module(PyObject* self, PyObject* value, void*) {
  record_of(self).module = py::reinterpret_borrow<py::object>(value ? value : Py_None);
  return 0;
}

// inspect.signature() support: (a, b, c=default)
PyObject* get_signature(PyObject* self, void*) {
  try {
    const Record& r = record_of(self);
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::list params;
    for (const auto& p : r.params) {
      py::object def = p.default_value ? p.default_value : parameter.attr("empty");
      params.append(parameter(p.name, parameter.attr("POSITIONAL_OR_KEYWORD"), py::arg("default") = def));
    }
    return inspect.attr("Signature")(params).release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(function_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "quarnet._host.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

// Made while the module body runs (run_module_body), with the GIL held, and
// read under the GIL afterwards. No function-local static: its
// guard would be held across Python calls, which may release the GIL and
// deadlock a thread waiting on the guard while holding the GIL.
struct ProcessValues {
  PyTypeObject* function_type = nullptr;  // kept for the life of the process
  PyObject* builtins = nullptr;           // builtins.__dict__
  PyObject* empty = nullptr;              // ""
};
ProcessValues process_values;

void make_process_values() {
  if (process_values.function_type != nullptr) return;
  PyObject* type = PyType_FromSpec(&function_spec);
  if (type == nullptr) throw py::error_already_set();
  py::object builtins = py::module_::import("builtins").attr("__dict__");
  PyObject* empty = PyUnicode_FromStringAndSize("", 0);
  if (empty == nullptr) throw py::error_already_set();
  process_values = {reinterpret_cast<PyTypeObject*>(type), builtins.release().ptr(), empty};
}

PyTypeObject* function_type() { return process_values.function_type; }

bool is_native_function(PyObject* obj) { return Py_TYPE(obj) == function_type(); }

PyObject* builtins_dict() { return process_values.builtins; }

}  // namespace

std::string fs_encode(py::handle path) {
  PyObject* encoded = nullptr;
  if (PyUnicode_FSConverter(path.ptr(), &encoded) == 0) throw py::error_already_set();
  const auto bytes = py::reinterpret_steal<py::bytes>(encoded);
  return std::string(bytes);
}

std::optional<std::string> fs_encode_if_path(py::handle path) {
  try {
    return fs_encode(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_TypeError)) throw;
    return std::nullopt;
  }
}

py::str fs_decode(std::string_view path) {
  return result_of<py::str>(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
}

void raise_os_error(int code, py::handle filename, std::string_view detail) {
  py::object error = os_error(code, filename, detail);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

void raise_os_error(const quarnet::OsError& error, py::handle filename) {
  if (filename) raise_os_error(error.code(), filename);
  raise_os_error(error.code(), fs_decode(error.path()));
}

py::str detail::join(const py::tuple& pieces) {
  PyObject* joined = PyUnicode_Join(process_values.empty, pieces.ptr());
  if (joined == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(joined);
}

// ---- Namespace ------------------------------------------------------------

py::object Namespace::operator[](const char* name) const {
  py::str key(name);
  PyObject* v = PyDict_GetItemWithError(globals_.ptr(), key.ptr());
  if (v == nullptr && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins_dict(), key.ptr());
  if (v != nullptr) return py::reinterpret_borrow<py::object>(v);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object exc = py::reinterpret_borrow<py::object>(PyExc_NameError)(
      py::str("name '" + std::string(name) + "' is not defined"), py::arg("name") = key);
  PyErr_SetObject(PyExc_NameError, exc.ptr());
  throw py::error_already_set();
}

std::string Namespace::module_name() const { return py::str(globals_["__name__"]).cast<std::string>(); }

void Namespace::import(const char* module, const char* as) const {
  py::object mod = py::module_::import("importlib").attr("import_module")(module);
  set(as ? as : module, mod);
}

namespace {
py::object import_attr(const py::object& mod, const char* attr) {
  if (py::hasattr(mod, attr)) return mod.attr(attr);
  const std::string mod_name = py::str(mod.attr("__name__")).cast<std::string>();
  py::object exc = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
      py::str("cannot import name '" + std::string(attr) + "' from '" + mod_name + "'"), py::arg("name") = mod_name);
  PyErr_SetObject(PyExc_ImportError, exc.ptr());
  throw py::error_already_set();
}
}  // namespace

void Namespace::import_from(const char* module, const char* attr, const char* as) const {
  py::object mod = py::module_::import("importlib").attr("import_module")(module);
  set(as ? as : attr, import_attr(mod, attr));
}

void Namespace::import_relative(const char* module, std::initializer_list<const char*> attrs) const {
  const std::string name = module_name();
  const auto dot = name.rfind('.');
  const std::string package = dot == std::string::npos ? std::string() : name.substr(0, dot);
  py::object mod = py::module_::import("importlib").attr("import_module")(module, package);
  for (const char* attr : attrs) set(attr, import_attr(mod, attr));
}

// ---- functions and classes ------------------------------------------------

namespace detail {

py::object function(const Namespace& ns, Signature sig) {
  auto rec = std::make_unique<Record>();
  rec->name = sig.name;
  rec->qualname = sig.name;
  bool seen_default = false;
  for (auto& p : sig.params) {
    if (p.default_value) {
      seen_default = true;
    } else if (seen_default) {
      throw std::logic_error(std::string(sig.name) + ": parameter without default after one with default");
    } else {
      ++rec->required;
    }
    rec->param_names.push_back(py::str(p.name));
  }
  rec->params = std::move(sig.params);
  rec->doc = sig.doc ? py::object(py::str(sig.doc)) : py::object(py::none());
  rec->module = py::str(ns.module_name());
  rec->ns = ns;
  rec->body = std::move(sig.body);

  PyTypeObject* type = function_type();
  PyObject* obj = type->tp_alloc(type, 0);
  if (obj == nullptr) throw py::error_already_set();
  reinterpret_cast<FunctionObject*>(obj)->rec = rec.release();
  return py::reinterpret_steal<py::object>(obj);
}

py::object static_method(const Namespace& ns, Signature sig) {
  py::object f = function(ns, std::move(sig));
  return py::reinterpret_steal<py::object>(PyStaticMethod_New(f.ptr()));
}

void def(const Namespace& ns, Signature sig) {
  const char* name = sig.name;
  ns.set(name, function(ns, std::move(sig)));
}

}  // namespace detail

py::object plain_class(const Namespace& ns, const char* name, py::tuple bases, std::initializer_list<Member> members) {
  py::dict body;
  body["__module__"] = py::str(ns.module_name());
  body["__qualname__"] = py::str(name);
  for (const auto& [member, value] : members) {
    py::object target = value;
    if (PyObject_TypeCheck(value.ptr(), &PyStaticMethod_Type)) target = value.attr("__func__");
    if (is_native_function(target.ptr())) record_of(target.ptr()).qualname = std::string(name) + "." + member;
    body[member] = value;
  }
  py::handle meta = bases.empty() ? py::handle(reinterpret_cast<PyObject*>(&PyType_Type))
                                  : py::handle(reinterpret_cast<PyObject*>(Py_TYPE(bases[0].ptr())));
  py::object cls = meta(py::str(name), bases, body);
  ns.set(name, cls);
  return cls;
}

void raise(PyObject* exc_type, const py::object& message) {
  py::object exc = py::reinterpret_borrow<py::object>(exc_type)(message);
  PyErr_SetObject(exc_type, exc.ptr());
  throw py::error_already_set();
}

void add_note(const py::error_already_set& error, const py::object& note) {
  const py::object& value = error.value();
  if (!note || !value || !PyObject_TypeCheck(value.ptr(), reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return;
  if (!py::hasattr(value, "add_note")) return;
  try {
    value.attr("add_note")(note);
  } catch (py::error_already_set&) {  // a note that cannot be added leaves the error as it is
  }
}

bool truthy(py::handle value) {
  const int r = PyObject_IsTrue(value.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

bool isinstance(py::handle value, py::handle type) {
  const int r = PyObject_IsInstance(value.ptr(), type.ptr());
  if (r < 0) throw py::error_already_set();
  return r != 0;
}

py::object negative(py::handle value) { return result_of(PyNumber_Negative(value.ptr())); }
py::object matmul(py::handle a, py::handle b) { return result_of(PyNumber_MatrixMultiply(a.ptr(), b.ptr())); }
py::object power(py::handle a, py::handle b) { return result_of(PyNumber_Power(a.ptr(), b.ptr(), Py_None)); }
py::object floor_divide(py::handle a, py::handle b) { return result_of(PyNumber_FloorDivide(a.ptr(), b.ptr())); }

py::object compare(py::handle a, py::handle b, int op) { return result_of(PyObject_RichCompare(a.ptr(), b.ptr(), op)); }

py::object to_int(py::handle value) { return result_of(PyNumber_Long(value.ptr())); }
py::object to_float(py::handle value) { return result_of(PyNumber_Float(value.ptr())); }
py::str to_str(py::handle value) { return result_of<py::str>(PyObject_Str(value.ptr())); }

py::list sorted(py::handle iterable) {
  auto list = result_of<py::list>(PySequence_List(iterable.ptr()));
  if (PyList_Sort(list.ptr()) != 0) throw py::error_already_set();
  return list;
}

std::vector<py::object> unpack(py::handle value, std::size_t n) {
  PyObject* it = PyObject_GetIter(value.ptr());
  if (it == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_TypeError) && Py_TYPE(value.ptr())->tp_iter == nullptr &&
        !PySequence_Check(value.ptr())) {
      PyErr_Clear();
      raise_type_error(std::string("cannot unpack non-iterable ") + Py_TYPE(value.ptr())->tp_name + " object");
    }
    throw py::error_already_set();
  }
  const auto iter = py::reinterpret_steal<py::object>(it);
  std::vector<py::object> items;
  items.reserve(n);
  while (items.size() <= n) {
    PyObject* item = PyIter_Next(it);
    if (item == nullptr) {
      if (PyErr_Occurred()) throw py::error_already_set();
      break;
    }
    items.push_back(py::reinterpret_steal<py::object>(item));
  }
  if (items.size() < n) {
    PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n, items.size());
    throw py::error_already_set();
  }
  if (items.size() > n) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
    throw py::error_already_set();
  }
  return items;
}

void require_exact_type(py::handle value, py::handle type, const char* name) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())) == type.ptr()) return;
  const auto* expected = reinterpret_cast<PyTypeObject*>(type.ptr())->tp_name;
  raise_type_error(std::string("Argument '") + name + "' has incorrect type (expected " + expected + ", got " +
                   Py_TYPE(value.ptr())->tp_name + ")");
}

int run_module_body(PyObject* module, void (*body)(const Namespace&)) {
  try {
    py::detail::get_internals();  // what PYBIND11_MODULE prepares before its body
    make_process_values();
    body(Namespace(py::reinterpret_borrow<py::dict>(PyModule_GetDict(module))));
    return 0;
  } catch (...) {
    set_error_from_current_exception();
  }
  return -1;
}

}  // namespace quarnet::host
