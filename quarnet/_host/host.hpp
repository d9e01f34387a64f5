// The one binding helper shared by the extension modules. It lets a module
// file read like the Python it stands for:
//
//   - Namespace: the module's globals. Collaborators (np, o3d, print, sibling
//     functions) are looked up by name at each call, globals first, then
//     builtins, so a host script or a test can replace any of them.
//   - function / static_method / def: native callables that take their
//     arguments by position or keyword with the interpreter's own TypeError
//     wording, carry an exact __doc__, and bind like Python functions when
//     placed in a class (a function in a class body is a method). A body
//     takes the call first and then one parameter per declared name; the
//     count is checked at compile time:
//
//       py::object load_depth(const qh::Call& c, py::object depth_path);
//       qh::def(ns, "load_depth", {"depth_path"}, load_depth, kDoc);
//
//   - ns.np(), ns.os(), ns.os_path(), ns.o3d(), ns.trimesh(), ...: each
//     collaborator module by its bound name, looked up like any other name;
//     numpy and os.path with the calls most bodies make typed.
//   - Built-ins the modules do not let a host replace (int, float, str, list,
//     isinstance, sorted, zip, range, comparisons) are the interpreter's own,
//     called directly; print goes through the namespace.
//   - plain_class: a class made by calling the metaclass of its bases, as a
//     class statement would (type(name, (object,), ns) for a plain class).
//   - The file system: fs_encode / fs_decode for paths, raise_os_error and
//     core_io for the core's OsError.
//
// Core errors thrown from a body become the interpreter's built-in
// exceptions: quarnet::OsError -> OSError by errno (FileNotFoundError, ...),
// FormatError and ArgumentError -> ValueError, bad_alloc -> MemoryError.
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "quarnet/errors.hpp"

namespace quarnet::host {

namespace py = pybind11;

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

namespace detail {
inline py::str piece(py::handle h) { return py::str(h); }
template <class Policy>
py::str piece(const py::detail::accessor<Policy>& a) {
  return piece(py::object(a));
}
inline py::str piece(const char* s) { return py::str(s); }
inline py::str piece(const std::string& s) { return py::str(s); }
template <class T>
  requires std::is_arithmetic_v<T>
py::str piece(T v) {
  return piece(py::cast(v));
}
py::str join(const py::tuple& pieces);
}  // namespace detail

// Concatenates the str() of each piece, as an f-string with no separators.
// Pieces stay str objects, so text that is no UTF-8 (a file name's
// surrogates) passes through as Python keeps it.
template <class... A>
py::str cat(const A&... pieces) {
  return detail::join(py::make_tuple(detail::piece(pieces)...));
}

// One declared parameter: a name, and a default value or none (required).
// A bare name converts, so a parameter list reads {"mesh", "point_cloud", qh::arg("threshold", 0.05)}.
struct Param {
  Param(const char* param_name) : name(param_name) {}
  Param(std::string param_name, py::object default_value_) : name(std::move(param_name)), default_value(std::move(default_value_)) {}
  std::string name;
  py::object default_value;  // null: required
};
inline Param arg(std::string name) { return {std::move(name), py::object()}; }
template <class T>
Param arg(std::string name, T&& default_value) {
  if constexpr (std::is_base_of_v<py::handle, std::decay_t<T>>) {
    return {std::move(name), py::reinterpret_borrow<py::object>(default_value)};
  } else {
    return {std::move(name), py::cast(std::forward<T>(default_value))};
  }
}

// What a body gets besides its arguments: the module namespace.
struct Call {
  const Namespace& ns;
};

// A body: py::object body(const Call&, one parameter per declared name); each
// parameter is initialised from a py::object (py::object, const py::object&).
template <class... A>
using BodyFn = py::object (*)(const Call&, A...);

namespace detail {

// The bound arguments of one call, in declaration order, handed to the body.
using Body = std::function<py::object(const Call&, std::vector<py::object>&)>;

struct Signature {
  const char* name;
  std::vector<Param> params;
  const char* doc;  // exact __doc__, or none
  Body body;
};

template <std::size_t N, class... A>
Signature signature(const char* name, const Param (&params)[N], BodyFn<A...> body, const char* doc) {
  static_assert(sizeof...(A) == N, "the body must take one parameter per declared name, after the Call");
  static_assert((std::is_constructible_v<A, py::object&&> && ...), "body parameters must take a py::object");
  return {name, std::vector<Param>(params, params + N), doc,
          [body](const Call& call, std::vector<py::object>& args) {
            return [&]<std::size_t... I>(std::index_sequence<I...>) {
              return body(call, std::move(args[I])...);
            }(std::index_sequence_for<A...>{});
          }};
}

py::object function(const Namespace& ns, Signature sig);
py::object static_method(const Namespace& ns, Signature sig);
void def(const Namespace& ns, Signature sig);

}  // namespace detail

// A function; placed in a class, it binds its first parameter to the
// instance, like a def in a class body.
template <std::size_t N, class... A>
py::object function(const Namespace& ns, const char* name, const Param (&params)[N], BodyFn<A...> body,
                    const char* doc = nullptr) {
  return detail::function(ns, detail::signature(name, params, body, doc));
}
// staticmethod(function(...)).
template <std::size_t N, class... A>
py::object static_method(const Namespace& ns, const char* name, const Param (&params)[N], BodyFn<A...> body,
                         const char* doc = nullptr) {
  return detail::static_method(ns, detail::signature(name, params, body, doc));
}
// Defines a module-level function and binds it in the namespace under its name.
template <std::size_t N, class... A>
void def(const Namespace& ns, const char* name, const Param (&params)[N], BodyFn<A...> body, const char* doc = nullptr) {
  detail::def(ns, detail::signature(name, params, body, doc));
}

using Member = std::pair<const char*, py::object>;

// Creates a class as a class statement would: metaclass(name, bases, body),
// with __module__ and __qualname__ set and each member's __qualname__ made
// "Name.member". Binds it in the namespace and returns it.
py::object plain_class(const Namespace& ns, const char* name, py::tuple bases, std::initializer_list<Member> members);

// raise exc_type(message)
[[noreturn]] void raise(PyObject* exc_type, const py::object& message);

// error.add_note(note) for an ordinary exception (an Exception subclass:
// interrupts and exits get none), where the interpreter has notes (3.11+).
// The exception's type and message stay as they are; a null note adds nothing.
void add_note(const py::error_already_set& error, const py::object& note);

// Runs `work`; an ordinary exception leaving it gains the note note(error).
template <class F, class N>
decltype(auto) with_note(F&& work, N&& note) {
  try {
    return std::forward<F>(work)();
  } catch (py::error_already_set& error) {
    add_note(error, std::forward<N>(note)(error));
    throw;
  }
}

// The interpreter's truth test, unary minus and the @, ** and // operators.
bool truthy(py::handle value);
py::object negative(py::handle value);
py::object matmul(py::handle a, py::handle b);
py::object power(py::handle a, py::handle b);
py::object floor_divide(py::handle a, py::handle b);
// a <op> b as the interpreter evaluates it (op: Py_EQ, Py_GT, ...; arrays compare elementwise).
py::object compare(py::handle a, py::handle b, int op);

// The built-ins int, float, str and list (as types: dtype=int, isinstance(x, list)).
inline py::handle int_type() { return reinterpret_cast<PyObject*>(&PyLong_Type); }
inline py::handle float_type() { return reinterpret_cast<PyObject*>(&PyFloat_Type); }
inline py::handle str_type() { return reinterpret_cast<PyObject*>(&PyUnicode_Type); }
inline py::handle list_type() { return reinterpret_cast<PyObject*>(&PyList_Type); }

// isinstance(value, type) as the built-in answers it.
bool isinstance(py::handle value, py::handle type);

// int(value), float(value), str(value) and sorted(iterable) as the built-ins
// give them (an int or float subclass becomes the plain type).
py::object to_int(py::handle value);
py::object to_float(py::handle value);
py::str to_str(py::handle value);
py::list sorted(py::handle iterable);
// zip(*iterables) and range(*bounds).
template <class... A>
py::object zip(A&&... iterables) {
  return py::handle(reinterpret_cast<PyObject*>(&PyZip_Type))(std::forward<A>(iterables)...);
}
template <class... A>
py::object range(A&&... bounds) {
  return py::handle(reinterpret_cast<PyObject*>(&PyRange_Type))(std::forward<A>(bounds)...);
}

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

// ---- the file system ----------------------------------------------------------

// The file-system bytes of a path (str, bytes or path-like), as os.fsencode
// gives them: a name that is not UTF-8 keeps its own bytes.
std::string fs_encode(py::handle path);
// fs_encode(path), or nothing when `path` is no path at all (a file object, say).
std::optional<std::string> fs_encode_if_path(py::handle path);
// File-system bytes (a path of the core) as str, as os.fsdecode gives them:
// a name that is not UTF-8 reads back as the str it was encoded from.
py::str fs_decode(std::string_view path);

// raise OSError(code, strerror(code), filename), the message followed by
// "; <detail>" when there is one; the code picks the subclass
// (FileNotFoundError, PermissionError, ...).
[[noreturn]] void raise_os_error(int code, py::handle filename, std::string_view detail = {});
// The core's OsError as that OSError, naming `filename`, or without one the
// error's own path.
[[noreturn]] void raise_os_error(const quarnet::OsError& error, py::handle filename = py::handle());

// TypeError "Argument 'name' has incorrect type (expected str, got int)"
// unless `value` is exactly of `type` (no subclass, no None).
void require_exact_type(py::handle value, py::handle type, const char* name);

// a, b, ... = value: the n items of an iterable, with the interpreter's
// TypeError / ValueError wording when it is not iterable or holds more or fewer.
std::vector<py::object> unpack(py::handle value, std::size_t n);
template <std::size_t N>
std::array<py::object, N> unpack(py::handle value) {
  std::vector<py::object> items = unpack(value, N);
  std::array<py::object, N> out;
  for (std::size_t i = 0; i < N; ++i) out[i] = std::move(items[i]);
  return out;
}

// Runs `work` without the GIL.
template <class F>
decltype(auto) without_gil(F&& work) {
  py::gil_scoped_release release;
  return std::forward<F>(work)();
}

// Runs core file work without the GIL; its OsError leaves as OSError naming
// `filename`, or without one the error's own path.
template <class F>
decltype(auto) core_io(F&& work, py::handle filename = py::handle()) {
  try {
    return without_gil(std::forward<F>(work));
  } catch (const quarnet::OsError& e) {
    raise_os_error(e, filename);
  }
}

// Runs a module body on the new module's namespace (see QUARNET_MODULE);
// returns 0, or -1 with the body's exception set unchanged.
int run_module_body(PyObject* module, void (*body)(const Namespace&));

}  // namespace quarnet::host

// QUARNET_MODULE(name, ns) { body }: the module's PyInit_<name> entry, whose
// body gets the module namespace. Unlike PYBIND11_MODULE, an exception from
// the body (a failed import, say) reaches the importer unchanged rather than
// wrapped in ImportError("initialization failed").
#define QUARNET_MODULE(name, ns)                                                                       \
  static void quarnet_module_body_##name(const ::quarnet::host::Namespace&);                           \
  static int quarnet_module_exec_##name(PyObject* module) {                                            \
    return ::quarnet::host::run_module_body(module, quarnet_module_body_##name);                       \
  }                                                                                                    \
  PYBIND11_PLUGIN_IMPL(name) {                                                                         \
    PYBIND11_CHECK_PYTHON_VERSION                                                                      \
    static PyModuleDef_Slot slots[] = {                                                                \
        {Py_mod_exec, reinterpret_cast<void*>(quarnet_module_exec_##name)}, {0, nullptr}};             \
    static PyModuleDef def = {PyModuleDef_HEAD_INIT, #name, nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr}; \
    return PyModuleDef_Init(&def);                                                                     \
  }                                                                                                    \
  static void quarnet_module_body_##name(const ::quarnet::host::Namespace& ns)
