#include "namespace.hpp"

namespace quarnet::host {
namespace {

// builtins.__dict__, made by prepare_namespace (no function-local static:
// see interpreter.cpp).
PyObject* builtins_dict = nullptr;

py::object import_attr(const py::object& mod, const char* attr) {
  if (py::hasattr(mod, attr)) return mod.attr(attr);
  const std::string mod_name = py::str(mod.attr("__name__")).cast<std::string>();
  py::object exc = py::reinterpret_borrow<py::object>(PyExc_ImportError)(
      py::str("cannot import name '" + std::string(attr) + "' from '" + mod_name + "'"), py::arg("name") = mod_name);
  PyErr_SetObject(PyExc_ImportError, exc.ptr());
  throw py::error_already_set();
}

}  // namespace

void detail::prepare_namespace() {
  if (builtins_dict != nullptr) return;
  py::object builtins = py::module_::import("builtins").attr("__dict__");
  builtins_dict = builtins.release().ptr();
}

py::object Namespace::operator[](const char* name) const {
  py::str key(name);
  PyObject* v = PyDict_GetItemWithError(globals_.ptr(), key.ptr());
  if (v == nullptr && !PyErr_Occurred()) v = PyDict_GetItemWithError(builtins_dict, key.ptr());
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

}  // namespace quarnet::host
