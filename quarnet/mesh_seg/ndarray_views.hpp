// Native views of numpy arrays for the depth and point kernels. A view is
// offered only where the kernel gives exactly what numpy would: an array of
// type numpy.ndarray itself (no subclass, whose operators may differ), two
// dimensions, a plain numeric element type in the host's byte order.
#pragma once

#include <pybind11/numpy.h>

#include <optional>

#include "quarnet/numeric/strided.hpp"
#include "tessaron.hpp"

namespace tessaron {

// The numpy module this extension was loaded with (not the namespace's np).
const py::module_& real_numpy();

// numpy.<name>, looked up once and kept for the process.
PyObject* numpy_type(const char* name);

bool is_exact_ndarray(py::handle obj);

// The element type of a numpy dtype, if it is bool, an integer or a float of
// 2, 4 or 8 bytes, stored in the host's byte order.
std::optional<quarnet::numeric::ElementType> plain_element(const py::dtype& dtype);

// The extents and strides of a two-dimensional array, with `type` as given
// (the caller vouches for the element type it reads).
quarnet::numeric::Strided2D view_2d(const py::array& a, quarnet::numeric::ElementType type = {});

// A view of a two-dimensional exact ndarray with a plain element type.
std::optional<quarnet::numeric::Strided2D> plain_2d(py::handle obj);

}  // namespace tessaron
