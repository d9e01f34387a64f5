// The rays of a pinhole camera's pixels, with the back-projection's pixel
// convention (backproject.hpp): pixel (u, v), integer column and row, no
// half-pixel offset, looks along the camera-frame direction
//
//   ((u - cx) / fx, (v - cy) / fy, 1)
//
// so a ray's parameter at a hit is the hit's depth along the viewing axis.
#pragma once

#include <cstddef>

#include "quarnet/depth/backproject.hpp"

namespace quarnet::depth {

// A camera-to-world pose: the camera centre and the rotation (row-major 3x3)
// that carries camera-frame directions into the world.
struct Pose {
  double centre[3];
  double rotation[9];
};

// Writes width x height rays, row by row, six floats each: the origin (the
// camera centre) and the world direction rotation * camera direction.
void pixel_rays(const Intrinsics& k, const Pose& pose, std::size_t width, std::size_t height, float* out);

}  // namespace quarnet::depth
