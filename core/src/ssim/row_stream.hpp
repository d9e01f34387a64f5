// Separable 11-tap Gaussian filtering of an image plane, one row at a time.
// A RowStream takes rows of K quantities in top-to-bottom order, filters
// each horizontally (zero padding) and keeps the last 11; the vertical pass
// of a row then sums the kept rows around it (rows outside the plane count
// as zero). Memory is 11 rows per quantity, whatever the plane's height.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <vector>

#include "quarnet/ssim/fused_ssim.hpp"

namespace quarnet::ssim::detail {

inline constexpr int R = kWindowRadius;

template <class T>
struct Taps {
  // Symmetric window: w[k] == w[10 - k]; only w[0..5] are used.
  std::array<T, kWindowSize> w;
  Taps() {
    const auto& g = gaussian_taps();
    for (int k = 0; k < kWindowSize; ++k) w[k] = static_cast<T>(g[k]);
  }
};

// out[j] = sum_k w[k] p[j + k] for a row padded with R zeros on each side.
template <class T>
inline void filter_row(const T* __restrict p, T* __restrict out, std::ptrdiff_t width, const Taps<T>& t) {
  const T w0 = t.w[0], w1 = t.w[1], w2 = t.w[2], w3 = t.w[3], w4 = t.w[4], w5 = t.w[5];
  for (std::ptrdiff_t j = 0; j < width; ++j) {
    const T* q = p + j;
    out[j] = w5 * q[5] + w4 * (q[4] + q[6]) + w3 * (q[3] + q[7]) + w2 * (q[2] + q[8]) + w1 * (q[1] + q[9]) +
             w0 * (q[0] + q[10]);
  }
}

// out[j] = sum_k w[k] r[k][j] over 11 rows.
template <class T>
inline void filter_column(const T* const* r, T* __restrict out, std::ptrdiff_t width, const Taps<T>& t) {
  const T w0 = t.w[0], w1 = t.w[1], w2 = t.w[2], w3 = t.w[3], w4 = t.w[4], w5 = t.w[5];
  const T *__restrict r0 = r[0], *__restrict r1 = r[1], *__restrict r2 = r[2], *__restrict r3 = r[3],
                      *__restrict r4 = r[4], *__restrict r5 = r[5], *__restrict r6 = r[6], *__restrict r7 = r[7],
                      *__restrict r8 = r[8], *__restrict r9 = r[9], *__restrict r10 = r[10];
  for (std::ptrdiff_t j = 0; j < width; ++j) {
    out[j] = w5 * r5[j] + w4 * (r4[j] + r6[j]) + w3 * (r3[j] + r7[j]) + w2 * (r2[j] + r8[j]) +
             w1 * (r1[j] + r9[j]) + w0 * (r0[j] + r10[j]);
  }
}

template <class T, int K>
class RowStream {
 public:
  RowStream(std::ptrdiff_t width, std::ptrdiff_t height)
      : width_(width),
        height_(height),
        padded_(static_cast<std::size_t>(K * (width + 2 * R)), T(0)),
        ring_(static_cast<std::size_t>(kWindowSize * K * width)),
        zeros_(static_cast<std::size_t>(width), T(0)) {}

  std::ptrdiff_t width() const noexcept { return width_; }

  // Where the caller writes the `width` values of quantity k of the next row.
  T* input(int k) noexcept { return padded_.data() + k * (width_ + 2 * R) + R; }

  // Filters the rows written through input() horizontally and keeps them as `row`.
  void push(std::ptrdiff_t row) {
    for (int k = 0; k < K; ++k) filter_row(input(k) - R, slot(row, k), width_, taps_);
  }

  // out[k] = the fully filtered quantity k of `row`; rows row-R .. row+R that
  // lie inside the plane must have been pushed, the latest 11 rows being kept.
  void vertical(std::ptrdiff_t row, T* const* out) const {
    for (int k = 0; k < K; ++k) {
      std::array<const T*, kWindowSize> rows;
      for (int d = 0; d < kWindowSize; ++d) {
        const std::ptrdiff_t q = row - R + d;
        rows[d] = (q < 0 || q >= height_) ? zeros_.data() : slot(q, k);
      }
      filter_column(rows.data(), out[k], width_, taps_);
    }
  }

 private:
  T* slot(std::ptrdiff_t row, int k) noexcept { return ring_.data() + ((row % kWindowSize) * K + k) * width_; }
  const T* slot(std::ptrdiff_t row, int k) const noexcept {
    return ring_.data() + ((row % kWindowSize) * K + k) * width_;
  }

  std::ptrdiff_t width_, height_;
  Taps<T> taps_;
  std::vector<T> padded_;
  std::vector<T> ring_;
  std::vector<T> zeros_;
};

// Row i of a strided plane into a contiguous row.
template <class T>
inline void load_row(const T* plane, std::ptrdiff_t row_stride, std::ptrdiff_t col_stride, std::ptrdiff_t i,
                     std::ptrdiff_t width, T* __restrict out) {
  const T* src = plane + i * row_stride;
  if (col_stride == 1) {
    std::copy(src, src + width, out);
  } else {
    for (std::ptrdiff_t j = 0; j < width; ++j) out[j] = src[j * col_stride];
  }
}

// Row i of two planes and their products x x, y y, x y, into a 5-quantity
// stream (not yet pushed).
template <class T>
void load_products(RowStream<T, 5>& s, const T* p1, const ImagesView<T>& v1, const T* p2, const ImagesView<T>& v2,
                   std::ptrdiff_t i) {
  const std::ptrdiff_t width = s.width();
  T* x = s.input(0);
  T* y = s.input(1);
  load_row(p1, v1.strides[2], v1.strides[3], i, width, x);
  load_row(p2, v2.strides[2], v2.strides[3], i, width, y);
  T *__restrict xx = s.input(2), *__restrict yy = s.input(3), *__restrict xy = s.input(4);
  for (std::ptrdiff_t j = 0; j < width; ++j) {
    xx[j] = x[j] * x[j];
    yy[j] = y[j] * y[j];
    xy[j] = x[j] * y[j];
  }
}

}  // namespace quarnet::ssim::detail
