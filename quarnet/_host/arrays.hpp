// The numpy arrays the modules hand to the core: C-ordered, of one element
// type, converted from whatever numpy converts (forcecast).
#pragma once

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "host.hpp"
#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::host {

using F64Array = py::array_t<double, py::array::c_style | py::array::forcecast>;
using I64Array = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;

// np.asarray(value, dtype=np.float64 / np.int64) through the namespace's np,
// as the array above (a copy only where numpy's answer is not C-ordered).
inline F64Array f64_array(const Numpy& np, py::handle value) { return F64Array(np.asarray(value, "float64")); }
inline I64Array i64_array(const Numpy& np, py::handle value) { return I64Array(np.asarray(value, "int64")); }

// A new 1-D numpy array holding a copy of `values`.
template <class T>
py::array_t<T> to_array(const std::vector<T>& values) {
  py::array_t<T> out(static_cast<py::ssize_t>(values.size()));
  std::copy(values.begin(), values.end(), out.mutable_data());
  return out;
}

// An array of rows of three (n x 3).
inline bool has_rows_of_three(const py::array& a) { return a.ndim() == 2 && a.shape(1) == 3; }

// The core's view of a mesh whose vertices and faces these arrays hold, row by row.
inline quarnet::mesh::IndexedMesh indexed_mesh(const F64Array& vertices, const I64Array& faces) {
  return {{vertices.data(), static_cast<std::size_t>(vertices.size())},
          {faces.data(), static_cast<std::size_t>(faces.size())}};
}

}  // namespace quarnet::host
