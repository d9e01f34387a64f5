// The interpreter's own statements and built-ins, called as the interpreter
// calls them: raise, unpacking, the truth test and operators, int / float /
// str / sorted / zip / range / isinstance, f-string concatenation, and the GIL.
// These are the built-ins the modules do not let a host replace; print and
// every collaborator go through the namespace (namespace.hpp).
#pragma once

#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace quarnet::host {

namespace py = pybind11;

namespace detail {
// The result of an abstract-object call: a new reference, or null with an error set.
template <class T = py::object>
T result_of(PyObject* r) {
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<T>(r);
}
// raise TypeError(message)
[[noreturn]] void raise_type_error(const std::string& message);
// The values the shims keep for the life of the process; made with the GIL
// held while a module body runs (module_entry.hpp).
void prepare_interpreter();
}  // namespace detail

// raise exc_type(message)
[[noreturn]] void raise(PyObject* exc_type, const py::object& message);

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

}  // namespace quarnet::host
