// A module's globals, as its bodies read them: collaborators (np, o3d,
// print, sibling functions) are looked up by name at each call, globals
// first, then builtins, so a host script or a test can replace any of them.
// ns.np(), ns.os(), ns.os_path(), ns.o3d(), ns.trimesh(), ... give each
// collaborator module by its bound name, looked up like any other name;
// numpy and os.path with the calls most bodies make typed. The imports a
// module makes at load bind their names here.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>
#include <utility>

#include "interpreter.hpp"

namespace quarnet::host {

class Os;
class OsPath;
class Numpy;

class Namespace {
 public:
  Namespace() = default;
  explicit Namespace(py::dict globals) : globals_(std::move(globals)) {}
  static Namespace of(const py::module_& m) { return Namespace(m.attr("__dict__")); }

  // globals()[name], else builtins[name]; NameError "name 'x' is not defined".
  py::object operator[](const char* name) const;
  void set(const char* name, py::handle value) const { globals_[name] = value; }
  const py::dict& globals() const noexcept { return globals_; }
  std::string module_name() const;

  // import module [as name]; from module import attr [as name]
  void import(const char* module, const char* as = nullptr) const;
  void import_from(const char* module, const char* attr, const char* as = nullptr) const;
  // from .sibling import attr  /  from ..pkg.mod import attr (leading dots, relative to this module)
  void import_relative(const char* module, std::initializer_list<const char*> attrs) const;

  // print(*args) through the namespace's print.
  template <class... A>
  void print(A&&... args) const {
    (*this)["print"](std::forward<A>(args)...);
  }
  // The module's collaborator modules, as bound at the moment of asking
  // (import os; import numpy as np; import open3d as o3d; ...).
  Os os() const;
  OsPath os_path() const;  // os.path
  Numpy np() const;
  py::object cv2() const { return (*this)["cv2"]; }
  py::object o3d() const { return (*this)["o3d"]; }
  py::object trimesh() const { return (*this)["trimesh"]; }
  py::object torch() const { return (*this)["torch"]; }
  py::object subprocess() const { return (*this)["subprocess"]; }

 private:
  py::dict globals_;
};

// os, with the listing typed; any other call as on the module (os.attr("replace")).
class Os : public py::object {
 public:
  explicit Os(py::object module) : py::object(std::move(module)) {}
  py::object listdir(py::handle path) const { return attr("listdir")(path); }
};

// os.path, with the calls the modules make typed; any other attribute is
// reached as on the module itself (os_path.attr("getsize")).
class OsPath : public py::object {
 public:
  explicit OsPath(py::object module) : py::object(std::move(module)) {}
  template <class... A>
  py::object join(A&&... parts) const {
    return attr("join")(std::forward<A>(parts)...);
  }
  bool exists(py::handle path) const { return truthy(attr("exists")(path)); }
  bool isdir(py::handle path) const { return truthy(attr("isdir")(path)); }
  py::object splitext(py::handle path) const { return attr("splitext")(path); }  // (root, ext)
  py::object dirname(py::handle path) const { return attr("dirname")(path); }
};

// numpy, with the conversions the modules make typed; the rest as on the module (np.attr("stack")).
class Numpy : public py::object {
 public:
  explicit Numpy(py::object module) : py::object(std::move(module)) {}
  // np.asarray(value, dtype=np.<dtype>)
  py::object asarray(py::handle value, const char* dtype) const {
    return attr("asarray")(value, py::arg("dtype") = attr(dtype));
  }
};

inline Os Namespace::os() const { return Os((*this)["os"]); }
inline OsPath Namespace::os_path() const { return OsPath(os().attr("path")); }
inline Numpy Namespace::np() const { return Numpy((*this)["np"]); }

namespace detail {
// The builtins the lookup falls back on, kept for the life of the process;
// made with the GIL held while a module body runs (module_entry.hpp).
void prepare_namespace();
}  // namespace detail

}  // namespace quarnet::host
