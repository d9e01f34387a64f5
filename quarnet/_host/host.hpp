// The one binding helper shared by the extension modules. It lets a module
// file read like the Python it stands for:
//
//   - Namespace: the module's globals. Collaborators (np, o3d, print, sibling
//     functions) are looked up by name at each call, globals first, then
//     builtins, so a host script or a test can replace any of them.
//   - function / method / static_method: native callables that take their
//     arguments by position or keyword with the interpreter's own TypeError
//     wording, carry an exact __doc__, and bind like Python functions when
//     placed in a class.
//   - plain_class: a class made by calling the metaclass of its bases, as a
//     class statement would (type(name, (object,), ns) for a plain class).
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
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarnet::host {

namespace py = pybind11;

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

struct Param {
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

// The bound arguments of one call, in declaration order.
class Call {
 public:
  Call(const Namespace& names, std::vector<py::object>& args) : ns(names), args_(args) {}
  const Namespace& ns;
  const py::object& operator[](std::size_t i) const { return args_[i]; }
  std::size_t size() const noexcept { return args_.size(); }
  template <std::size_t N>
  std::array<py::object, N> unpack() const {
    std::array<py::object, N> out;
    for (std::size_t i = 0; i < N; ++i) out[i] = args_[i];
    return out;
  }

 private:
  std::vector<py::object>& args_;
};

using Body = std::function<py::object(const Call&)>;

struct FunctionSpec {
  const char* name;
  std::vector<Param> params;
  const char* doc = nullptr;  // exact __doc__, or none
};

// A module-level function.
py::object function(const Namespace& ns, FunctionSpec sig, Body body);
// A function that binds its first parameter to the instance, like a def in a class body.
inline py::object method(const Namespace& ns, FunctionSpec sig, Body body) {
  return function(ns, std::move(sig), std::move(body));
}
// staticmethod(function(...)).
py::object static_method(const Namespace& ns, FunctionSpec sig, Body body);

// Defines a module-level function and binds it in the namespace under its name.
void def(const Namespace& ns, FunctionSpec sig, Body body);

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
