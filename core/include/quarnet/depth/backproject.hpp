// Pinhole back-projection of a depth map. For the pixel in column u and row v
// with depth z (widened to double from the map's element type):
//
//   x = (u - cx) * z / fx     y = (v - cy) * z / fy     z
//
// evaluated in double precision in exactly this order, so that the result
// equals, bit for bit, numpy evaluating the same expression on an integer
// pixel grid. Points are written row by row, three doubles each.
#pragma once

#include "quarnet/numeric/strided.hpp"

namespace quarnet::depth {

struct Intrinsics {
  double fx = 0, fy = 0, cx = 0, cy = 0;
};

// out holds depth.size() * 3 doubles. depth.type must be supported (native
// byte order); throws ArgumentError otherwise.
void backproject(const numeric::Strided2D& depth, const Intrinsics& k, double* out);

}  // namespace quarnet::depth
