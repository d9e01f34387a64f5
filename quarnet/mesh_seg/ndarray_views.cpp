#include "ndarray_views.hpp"

#include <pybind11/numpy.h>

namespace tessaron {

namespace numeric = quarnet::numeric;

const py::module_& real_numpy() {
  static const auto* numpy = new py::module_(py::module_::import("numpy"));  // kept for the process
  return *numpy;
}

PyObject* numpy_type(const char* name) { return py::object(real_numpy().attr(name)).release().ptr(); }

bool is_exact_ndarray(py::handle obj) {
  static PyObject* ndarray = numpy_type("ndarray");
  return reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr())) == ndarray;
}

std::optional<numeric::ElementType> plain_element(const py::dtype& dtype) {
  const char order = dtype.byteorder();
  if (order == '>') return std::nullopt;  // little-endian host: '<', '=' and '|' are native
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

numeric::Strided2D view_2d(const py::array& a, numeric::ElementType type) {
  return {static_cast<const std::uint8_t*>(a.data()), static_cast<std::size_t>(a.shape(0)),
          static_cast<std::size_t>(a.shape(1)), a.strides(0), a.strides(1), type};
}

std::optional<numeric::Strided2D> plain_2d(py::handle obj) {
  if (!is_exact_ndarray(obj)) return std::nullopt;
  const auto a = py::reinterpret_borrow<py::array>(obj);
  if (a.ndim() != 2) return std::nullopt;
  const auto type = plain_element(a.dtype());
  if (!type) return std::nullopt;
  return view_2d(a, *type);
}

}  // namespace tessaron
