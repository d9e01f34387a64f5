// Fused SSIM: the per-pixel SSIM map of two (N, C, H, W) image batches and
// the exact gradient of a loss on that map with respect to the first image.
//
// Each channel of each image is smoothed with the normalised 11 x 11 Gaussian
// window of standard deviation 1.5 (zero padding of 5 pixels, output the size
// of the input), applied as two 11-tap passes. With the local statistics
//   mu1 = G*x, mu2 = G*y,
//   s11 = G*(x x) - mu1^2, s22 = G*(y y) - mu2^2, s12 = G*(x y) - mu1 mu2
// the map is
//   ((2 mu1 mu2 + c1) (2 s12 + c2)) / ((mu1^2 + mu2^2 + c1) (s11 + s22 + c2)).
//
// Inputs are strided views (strides in elements, any sign); outputs are
// written contiguous in (N, C, H, W) order. Planes and bands of rows are
// spread over threads; the result does not depend on the thread count.
#pragma once

#include <array>
#include <cstddef>

namespace quarnet::ssim {

inline constexpr int kWindowSize = 11;
inline constexpr int kWindowRadius = kWindowSize / 2;
inline constexpr double kWindowSigma = 1.5;

// The normalised 1-D Gaussian: exp(-(x - 5)^2 / (2 sigma^2)) / sum, in double.
const std::array<double, kWindowSize>& gaussian_taps();

template <class T>
struct ImagesView {
  const T* data = nullptr;
  std::array<std::ptrdiff_t, 4> shape{};    // N, C, H, W
  std::array<std::ptrdiff_t, 4> strides{};  // in elements

  const T* plane(std::ptrdiff_t n, std::ptrdiff_t c) const { return data + n * strides[0] + c * strides[1]; }
};

// The workers the kernels start for a batch of `shape` when given no count:
// one per hardware thread, at most `at_most` (0: no cap), and fewer for
// inputs too small to gain from threads.
unsigned default_threads(const std::array<std::ptrdiff_t, 4>& shape, unsigned at_most = 0);

// threads = 0: default_threads(shape); otherwise that many workers (at most
// one per band of rows). Throws ArgumentError when the shapes differ or a
// size is negative.
template <class T>
void ssim_map(double c1, double c2, const ImagesView<T>& img1, const ImagesView<T>& img2, T* map,
              unsigned threads = 0);

// grad = d(sum of dmap * map) / d img1, img2 held fixed.
template <class T>
void ssim_map_backward(double c1, double c2, const ImagesView<T>& img1, const ImagesView<T>& img2,
                       const ImagesView<T>& dmap, T* grad, unsigned threads = 0);

extern template void ssim_map<float>(double, double, const ImagesView<float>&, const ImagesView<float>&, float*,
                                     unsigned);
extern template void ssim_map<double>(double, double, const ImagesView<double>&, const ImagesView<double>&, double*,
                                      unsigned);
extern template void ssim_map_backward<float>(double, double, const ImagesView<float>&, const ImagesView<float>&,
                                              const ImagesView<float>&, float*, unsigned);
extern template void ssim_map_backward<double>(double, double, const ImagesView<double>&, const ImagesView<double>&,
                                               const ImagesView<double>&, double*, unsigned);

}  // namespace quarnet::ssim
