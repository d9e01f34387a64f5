#include "callable.hpp"

#include <memory>
#include <stdexcept>

#include "errors_bridge.hpp"

namespace quarnet::host {
namespace {

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
    detail::raise_type_error(r.qualname + "() takes " + takes + " but " + std::to_string(given) +
                             (given == 1 ? " was given" : " were given"));
  }
  std::vector<py::object> bound(count);
  for (std::size_t i = 0; i < given; ++i) bound[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
  if (kwargs != nullptr) {
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!PyUnicode_Check(key)) detail::raise_type_error(r.qualname + "() keywords must be strings");
      std::size_t j = 0;
      for (; j < count; ++j) {
        const int cmp = PyUnicode_Compare(key, r.param_names[j].ptr());
        if (cmp == 0) break;
        if (cmp == -1 && PyErr_Occurred()) throw py::error_already_set();
      }
      const std::string key_text = py::reinterpret_borrow<py::str>(key).cast<std::string>();
      if (j == count) detail::raise_type_error(r.qualname + "() got an unexpected keyword argument '" + key_text + "'");
      if (bound[j]) detail::raise_type_error(r.qualname + "() got multiple values for argument '" + key_text + "'");
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
    detail::raise_type_error(r.qualname + "() missing " + std::to_string(missing.size()) +
                             " required positional argument" + (missing.size() == 1 ? "" : "s") + ": " + quoted_list(missing));
  }
  return bound;
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
    detail::set_error_from_current_exception();
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
      py::object annotation = p.annotation ? p.annotation : parameter.attr("empty");
      params.append(parameter(p.name, parameter.attr("POSITIONAL_OR_KEYWORD"), py::arg("default") = def,
                              py::arg("annotation") = annotation));
    }
    return inspect.attr("Signature")(params).release().ptr();
  } catch (py::error_already_set& e) {
    e.restore();
    return nullptr;
  }
}

// {name: annotation} of the annotated parameters, as a Python function has it.
PyObject* get_annotations(PyObject* self, void*) {
  try {
    py::dict annotations;
    for (const auto& p : record_of(self).params) {
      if (p.annotation) annotations[py::str(p.name)] = p.annotation;
    }
    return annotations.release().ptr();
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
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
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

// Made by prepare_callable_type (no function-local static: see interpreter.cpp).
PyTypeObject* native_function_type = nullptr;

PyTypeObject* function_type() { return native_function_type; }

bool is_native_function(PyObject* obj) { return Py_TYPE(obj) == function_type(); }

}  // namespace

void detail::prepare_callable_type() {
  if (native_function_type != nullptr) return;
  PyObject* type = PyType_FromSpec(&function_spec);
  if (type == nullptr) throw py::error_already_set();
  native_function_type = reinterpret_cast<PyTypeObject*>(type);
}

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

}  // namespace quarnet::host
