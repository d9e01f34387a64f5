// A read-only two-dimensional view of an array held elsewhere: base pointer,
// extents and byte strides (which may be negative), as numpy describes one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarnet/numeric/element.hpp"

namespace quarnet::numeric {

struct Strided2D {
  const std::uint8_t* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;  // bytes
  std::ptrdiff_t col_stride = 0;  // bytes
  ElementType type;

  const std::uint8_t* at(std::size_t r, std::size_t c) const noexcept {
    return data + static_cast<std::ptrdiff_t>(r) * row_stride + static_cast<std::ptrdiff_t>(c) * col_stride;
  }
  std::size_t size() const noexcept { return rows * cols; }
};

// A C-ordered (row-major, packed) view of rows x cols elements of `type`.
inline Strided2D packed(const void* data, std::size_t rows, std::size_t cols, ElementType type) {
  const auto item = static_cast<std::ptrdiff_t>(type.size);
  return {static_cast<const std::uint8_t*>(data), rows, cols, item * static_cast<std::ptrdiff_t>(cols), item, type};
}

}  // namespace quarnet::numeric
