#include <cmath>

#include "quarnet/ssim/fused_ssim.hpp"

namespace quarnet::ssim {

const std::array<double, kWindowSize>& gaussian_taps() {
  static const std::array<double, kWindowSize> taps = [] {
    std::array<double, kWindowSize> g{};
    const double denominator = 2.0 * kWindowSigma * kWindowSigma;
    double sum = 0.0;
    for (int x = 0; x < kWindowSize; ++x) {
      const double d = x - kWindowRadius;
      g[x] = std::exp(-(d * d) / denominator);
      sum += g[x];
    }
    for (double& v : g) v /= sum;
    return g;
  }();
  return taps;
}

}  // namespace quarnet::ssim
