// The SSIM formula on rows of local statistics, and its derivatives.
#pragma once

#include <cstddef>

namespace quarnet::ssim::detail {

// The five filtered quantities of one row: G*x, G*y, G*(x x), G*(y y), G*(x y).
template <class T>
struct StatRows {
  const T *mu1, *mu2, *e11, *e22, *e12;
};

template <class T>
inline void ssim_row(const StatRows<T>& s, T c1, T c2, T* __restrict out, std::ptrdiff_t width) {
  for (std::ptrdiff_t j = 0; j < width; ++j) {
    const T mu1_sq = s.mu1[j] * s.mu1[j];
    const T mu2_sq = s.mu2[j] * s.mu2[j];
    const T mu1_mu2 = s.mu1[j] * s.mu2[j];
    const T sigma1_sq = s.e11[j] - mu1_sq;
    const T sigma2_sq = s.e22[j] - mu2_sq;
    const T sigma12 = s.e12[j] - mu1_mu2;
    out[j] = ((T(2) * mu1_mu2 + c1) * (T(2) * sigma12 + c2)) / ((mu1_sq + mu2_sq + c1) * (sigma1_sq + sigma2_sq + c2));
  }
}

// For the map S = A1 A2 / (B1 B2) with
//   A1 = 2 mu1 mu2 + c1, A2 = 2 (e12 - mu1 mu2) + c2,
//   B1 = mu1^2 + mu2^2 + c1, B2 = (e11 - mu1^2) + (e22 - mu2^2) + c2,
// writes g dS/dmu1, g dS/de11 and g dS/de12 (g = dL/dS), the terms that the
// transposed filter carries back to the pixels of the first image.
template <class T>
inline void ssim_row_partials(const StatRows<T>& s, const T* __restrict dmap, T c1, T c2, T* __restrict d_mu1,
                              T* __restrict d_e11, T* __restrict d_e12, std::ptrdiff_t width) {
  for (std::ptrdiff_t j = 0; j < width; ++j) {
    const T mu1 = s.mu1[j], mu2 = s.mu2[j];
    const T mu1_sq = mu1 * mu1, mu2_sq = mu2 * mu2, mu1_mu2 = mu1 * mu2;
    const T a1 = T(2) * mu1_mu2 + c1;
    const T a2 = T(2) * (s.e12[j] - mu1_mu2) + c2;
    const T b1 = mu1_sq + mu2_sq + c1;
    const T b2 = (s.e11[j] - mu1_sq) + (s.e22[j] - mu2_sq) + c2;
    const T g_over_d = dmap[j] / (b1 * b2);
    const T map = a1 * a2 / (b1 * b2);
    d_mu1[j] = T(2) * g_over_d * (mu2 * (a2 - a1) - map * mu1 * (b2 - b1));
    d_e11[j] = -dmap[j] * map / b2;
    d_e12[j] = T(2) * g_over_d * a1;
  }
}

}  // namespace quarnet::ssim::detail
