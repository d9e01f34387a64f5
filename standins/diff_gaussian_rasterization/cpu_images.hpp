// Image tensors as strided views for the fused SSIM kernels: the checks that
// turn bad input into clear Python exceptions, and torch-allocated results.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include <pybind11/numpy.h>

#include "host.hpp"
#include "quarnet/ssim/fused_ssim.hpp"

namespace fused_ssim {

namespace py = pybind11;
namespace qh = quarnet::host;

// A dense CPU float32/float64 tensor of rank 4, seen through NumPy (no copy).
struct CpuImages {
  py::object tensor;
  py::array array;  // shares the tensor's memory and keeps it alive
  bool is_double = false;
  std::array<std::ptrdiff_t, 4> shape{};
  std::array<std::ptrdiff_t, 4> strides{};  // in elements

  template <class T>
  quarnet::ssim::ImagesView<T> view() const {
    return {static_cast<const T*>(array.data()), shape, strides};
  }
};

// Checks `value` (the argument `name` of `function`) and views it.
// TypeError: not a tensor, or a dtype other than float32/float64;
// ValueError: not dense, not on the CPU, or not of rank 4.
CpuImages cpu_images(const qh::Namespace& ns, const char* function, const char* name, const py::object& value);

// TypeError / ValueError unless `other` has the dtype and shape of `first`.
void require_match(const char* function, const CpuImages& first, const char* first_name, const CpuImages& other,
                   const char* other_name);

// A stabilising constant as a double; TypeError for anything else.
double real_constant(const char* function, const char* name, const py::object& value);

// A new contiguous tensor of `like`'s shape and dtype, and its memory.
struct Output {
  py::object tensor;
  py::array array;
  template <class T>
  T* data() {
    return static_cast<T*>(array.mutable_data());
  }
};
Output empty_like(const qh::Namespace& ns, const CpuImages& like);

}  // namespace fused_ssim
