// Per-pixel selection for depth maps and point arrays.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quarnet/numeric/strided.hpp"

namespace quarnet::depth {

// Copies `values` (rows x cols elements of item_size bytes, any strides) into
// the packed row-major buffer `out`, writing zero bytes where the mask byte
// is 0. Zero bytes are the value 0 of every numeric type. `mask` has one byte
// per element and the same extents. Throws ArgumentError on an extent mismatch.
void masked_copy(const numeric::Strided2D& values, std::size_t item_size, const numeric::Strided2D& mask,
                 std::uint8_t* out);

// Copies the rows of `points` (a 2-D array of a supported type) whose element
// in `column` is greater than 0 and finite (NaN and +inf are not), in order
// and packed, into `out`,
// which has room for all points.rows rows; returns how many were copied.
std::size_t copy_positive_rows(const numeric::Strided2D& points, std::size_t column, std::uint8_t* out);

}  // namespace quarnet::depth
