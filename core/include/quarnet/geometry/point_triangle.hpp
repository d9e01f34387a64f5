// The exact Euclidean distance from a point to a triangle (the closest point
// of the triangle's surface: inside the face, on an edge, or a corner).
#pragma once

namespace quarnet::geometry {

struct Vec3 {
  double x, y, z;
};

// The squared distance from p to the triangle (a, b, c). A degenerate
// triangle (its corners on one line, or some corners equal) is measured as
// the segments it spans. Evaluated in double precision; the coordinates must
// be finite.
double squared_distance_to_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) noexcept;

// The squared distance from p to the segment (a, b); a point when a == b.
double squared_distance_to_segment(const Vec3& p, const Vec3& a, const Vec3& b) noexcept;

}  // namespace quarnet::geometry
