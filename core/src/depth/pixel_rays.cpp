#include "quarnet/depth/pixel_rays.hpp"

namespace quarnet::depth {

void pixel_rays(const Intrinsics& k, const Pose& pose, std::size_t width, std::size_t height, float* out) {
  const double* r = pose.rotation;
  for (std::size_t v = 0; v < height; ++v) {
    const double y = (static_cast<double>(v) - k.cy) / k.fy;
    for (std::size_t u = 0; u < width; ++u) {
      const double x = (static_cast<double>(u) - k.cx) / k.fx;
      float* o = out + 6 * (v * width + u);
      for (int i = 0; i < 3; ++i) {
        o[i] = static_cast<float>(pose.centre[i]);
        o[3 + i] = static_cast<float>(r[3 * i] * x + r[3 * i + 1] * y + r[3 * i + 2]);
      }
    }
  }
}

}  // namespace quarnet::depth
