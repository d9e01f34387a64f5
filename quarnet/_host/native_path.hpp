// When native code may stand in for a collaborator's call: the one gate of
// every native fast path. The rule:
//
//   A native path replaces a call only when it can vouch for giving the very
//   result the call gives, that is when
//     1. every collaborator it replaces is the library's own: the function or
//        method that the library's source file defines, reached the way the
//        caller reaches it (a replaced, wrapped or re-bound one is not), and
//        every object it reads is of the library's own class, not a subclass;
//     2. every library it depends on is at a version the table of native
//        doubles (quarnet/native_doubles.py) lists as proven by the
//        differential tests; the first call of a process that steps aside
//        for an unlisted version warns once;
//     3. every array it reads is a numpy array of a plain element type (bool,
//        integers, float16/32/64) in the host's byte order, with the shape
//        the kernel takes; an exact numpy.ndarray wherever a numpy operation
//        would act on the caller's object (a subclass may redefine it);
//     4. every scalar it reads is a float, a numpy float, or an integer that
//        a double holds exactly.
//   Otherwise the collaborator's own call runs.
//
// Each check answers "may the native path read this?"; none raises for an
// input that merely does not qualify.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <vector>

#include "quarnet/numeric/strided.hpp"

namespace quarnet::host::native {

namespace py = pybind11;

// ---- 1. the library's own collaborators -----------------------------------

// The numpy module itself (not a stand-in bound under its name).
bool is_numpy(py::handle module);

// `fn` is the plain function defined as `qualname` by the source of the
// imported module `module`, running on that module's globals.
bool defined_by(py::handle fn, const char* module, const char* qualname);

// `fn` comes from the package itself: a plain function whose source file lies
// in the imported package's directory, or a builtin it exports (numpy's
// functions, say, which move between its submodules across versions).
bool from_package(py::handle fn, const char* package);

// Each of the package's attributes `names` comes from the package itself.
bool package_functions(py::handle package, std::initializer_list<const char*> names);

// type(obj) is exactly the class `qualname` of the imported module `module`.
bool is_instance_of_exactly(py::handle obj, const char* module, const char* qualname);

// The class attribute `name` of exactly that class is the one its source
// defines there (a function, or a property or cached property over one).
bool class_attribute_defined_by(const char* module, const char* qualname, const char* name);

// ---- 2. versions ------------------------------------------------------------

// The table lists the installed libraries' versions as proven for the native
// double `name` (warning once per process where it does not).
bool proven(const char* name);

// ---- 3. arrays --------------------------------------------------------------

// The element types the native paths take, as numpy names them.
inline constexpr numeric::ElementType float64{numeric::Kind::Float, 8};
inline constexpr numeric::ElementType int64{numeric::Kind::Signed, 8};

// What an array must be, e.g. ArrayRule(2).columns(3).of(float64).contiguous().
struct ArrayRule {
  explicit ArrayRule(int dims) : ndim(dims) {}
  ArrayRule& columns(std::size_t n) { cols = n; return *this; }              // size of the last axis
  ArrayRule& of(numeric::ElementType t) { element = t; return *this; }       // the one element type
  ArrayRule& library_owned() { exact_ndarray = false; return *this; }        // the library's own subclass will do
  ArrayRule& contiguous() { packed = true; return *this; }                   // C-contiguous and aligned

  int ndim;
  std::optional<std::size_t> cols;
  std::optional<numeric::ElementType> element;  // unset: any plain element type
  bool exact_ndarray = true;
  bool packed = false;
};

struct ArrayView {
  const std::uint8_t* data = nullptr;
  std::vector<std::size_t> shape;
  std::vector<std::ptrdiff_t> strides;  // bytes
  numeric::ElementType element;
  bool packed = false;

  std::size_t size() const noexcept;
  // The two-dimensional view (rows, cols) of a 2-D array.
  numeric::Strided2D as_2d() const noexcept;
  template <class T>
  const T* typed() const noexcept {
    return reinterpret_cast<const T*>(data);
  }
};

// The element type of a numpy dtype, if plain and in the host's byte order.
std::optional<numeric::ElementType> plain_element(const py::handle& dtype);

// A view of `obj` if it satisfies `rule`.
std::optional<ArrayView> array(py::handle obj, const ArrayRule& rule);

// ---- 4. scalars -------------------------------------------------------------

// The double that numpy's float64 evaluation uses for a scalar operand, where
// the expression stays float64 throughout: a float, a numpy float16/32/64,
// or an int (or bool) up to 2**53 when `float_context` (integer arithmetic
// would otherwise come first).
std::optional<double> plain_scalar(py::handle value, bool float_context);

}  // namespace quarnet::host::native
