// The modules' own callable type and their classes. function / static_method
// / def make native callables that take their arguments by position or
// keyword with the interpreter's own TypeError wording, carry an exact
// __doc__, and bind like Python functions when placed in a class (a function
// in a class body is a method). A body takes the call first and then one
// parameter per declared name; the count is checked at compile time:
//
//   py::object load_depth(const qh::Call& c, py::object depth_path);
//   qh::def(ns, "load_depth", {"depth_path"}, load_depth, kDoc);
//
// plain_class makes a class by calling the metaclass of its bases, as a class
// statement would (type(name, (object,), ns) for a plain class). Whatever a
// body throws reaches the caller as errors_bridge.hpp translates it.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "namespace.hpp"

namespace quarnet::host {

// One declared parameter: a name, and a default value or none (required).
// A bare name converts, so a parameter list reads {"mesh", "point_cloud", qh::arg("threshold", 0.05)}.
struct Param {
  Param(const char* param_name) : name(param_name) {}
  Param(std::string param_name, py::object default_value_) : name(std::move(param_name)), default_value(std::move(default_value_)) {}
  std::string name;
  py::object default_value;  // null: required
  py::object annotation;     // null: none
};
inline Param arg(std::string name) { return {std::move(name), py::object()}; }
// A required parameter annotated with `type` (shown by inspect.signature and __annotations__).
inline Param annotated(std::string name, py::object type) {
  Param p(std::move(name), py::object());
  p.annotation = std::move(type);
  return p;
}
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

// The native function type, kept for the life of the process; made with the
// GIL held while a module body runs (module_entry.hpp).
void prepare_callable_type();

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

}  // namespace quarnet::host
