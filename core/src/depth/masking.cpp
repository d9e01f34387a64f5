#include "quarnet/depth/masking.hpp"

#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#include "quarnet/errors.hpp"

namespace quarnet::depth {
namespace {

template <class Word>
void copy_words(const numeric::Strided2D& values, const numeric::Strided2D& mask, std::uint8_t* out) {
  const bool packed = values.col_stride == static_cast<std::ptrdiff_t>(sizeof(Word)) && mask.col_stride == 1;
  for (std::size_t r = 0; r < values.rows; ++r) {
    const std::uint8_t* src = values.at(r, 0);
    const std::uint8_t* m = mask.at(r, 0);
    auto* dst = out + r * values.cols * sizeof(Word);
    if (packed) {  // the common case, in a loop the compiler vectorises
      for (std::size_t c = 0; c < values.cols; ++c) {
        Word w;
        std::memcpy(&w, src + c * sizeof w, sizeof w);
        w = m[c] != 0 ? w : Word{0};
        std::memcpy(dst + c * sizeof w, &w, sizeof w);
      }
      continue;
    }
    for (std::size_t c = 0; c < values.cols; ++c) {
      Word w;
      std::memcpy(&w, src + static_cast<std::ptrdiff_t>(c) * values.col_stride, sizeof w);
      if (m[static_cast<std::ptrdiff_t>(c) * mask.col_stride] == 0) w = 0;
      std::memcpy(dst + c * sizeof w, &w, sizeof w);
    }
  }
}

void copy_bytes(const numeric::Strided2D& values, std::size_t item, const numeric::Strided2D& mask, std::uint8_t* out) {
  for (std::size_t r = 0; r < values.rows; ++r) {
    for (std::size_t c = 0; c < values.cols; ++c) {
      std::uint8_t* dst = out + (r * values.cols + c) * item;
      if (*mask.at(r, c) == 0) {
        std::memset(dst, 0, item);
      } else {
        std::memcpy(dst, values.at(r, c), item);
      }
    }
  }
}

// A valid depth: above 0 and finite (NaN and +inf are not).
template <class T>
bool positive(const std::uint8_t* p) {
  const T v = numeric::load<T>(p, false);
  if constexpr (std::is_same_v<T, numeric::Half>) {
    const float f = numeric::half_to_float(v.bits);
    return f > 0.0f && f < std::numeric_limits<float>::infinity();
  } else if constexpr (std::is_same_v<T, bool>) {
    return v;
  } else if constexpr (std::is_floating_point_v<T>) {
    return v > T(0) && v < std::numeric_limits<T>::infinity();
  } else {
    return v > T(0);
  }
}

template <class T, class OnRow>
void for_positive_rows(const numeric::Strided2D& points, std::size_t column, OnRow&& on_row) {
  for (std::size_t r = 0; r < points.rows; ++r) {
    if (positive<T>(points.at(r, column))) on_row(r);
  }
}

void check_points(const numeric::Strided2D& points, std::size_t column) {
  if (!numeric::is_supported(points.type)) throw ArgumentError("point filter: unsupported element type");
  if (column >= points.cols)
    throw ArgumentError("point filter: column " + std::to_string(column) + " of " + std::to_string(points.cols));
}

}  // namespace

void masked_copy(const numeric::Strided2D& values, std::size_t item_size, const numeric::Strided2D& mask,
                 std::uint8_t* out) {
  if (values.rows != mask.rows || values.cols != mask.cols)
    throw ArgumentError("mask of " + std::to_string(mask.rows) + "x" + std::to_string(mask.cols) + " for values of " +
                        std::to_string(values.rows) + "x" + std::to_string(values.cols));
  switch (item_size) {
    case 1: copy_words<std::uint8_t>(values, mask, out); break;
    case 2: copy_words<std::uint16_t>(values, mask, out); break;
    case 4: copy_words<std::uint32_t>(values, mask, out); break;
    case 8: copy_words<std::uint64_t>(values, mask, out); break;
    default: copy_bytes(values, item_size, mask, out); break;
  }
}

std::size_t copy_positive_rows(const numeric::Strided2D& points, std::size_t column, std::uint8_t* out) {
  check_points(points, column);
  const std::size_t item = points.type.size;
  const std::size_t row_bytes = item * points.cols;
  const bool packed_row = points.col_stride == static_cast<std::ptrdiff_t>(item);
  std::size_t kept = 0;
  numeric::dispatch(points.type, [&](auto tag) {
    for_positive_rows<decltype(tag)>(points, column, [&](std::size_t r) {
      std::uint8_t* dst = out + kept * row_bytes;
      if (packed_row) {
        std::memcpy(dst, points.at(r, 0), row_bytes);
      } else {
        for (std::size_t c = 0; c < points.cols; ++c) std::memcpy(dst + c * item, points.at(r, c), item);
      }
      ++kept;
    });
  });
  return kept;
}

}  // namespace quarnet::depth
