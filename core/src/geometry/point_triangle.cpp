// The closest point is found by the Voronoi regions of the triangle's corners,
// edges and face, in the order of Ericson's "Real-Time Collision Detection"
// (5.1.5); only its squared distance is returned.
#include "quarnet/geometry/point_triangle.hpp"

#include <algorithm>

namespace quarnet::geometry {
namespace {

Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
double dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 along(const Vec3& origin, const Vec3& d, double t) { return {origin.x + t * d.x, origin.y + t * d.y, origin.z + t * d.z}; }
double squared(const Vec3& d) { return dot(d, d); }

}  // namespace

double squared_distance_to_segment(const Vec3& p, const Vec3& a, const Vec3& b) noexcept {
  const Vec3 ab = b - a;
  const double length2 = squared(ab);
  if (!(length2 > 0)) return squared(p - a);
  const double t = std::clamp(dot(p - a, ab) / length2, 0.0, 1.0);
  return squared(p - along(a, ab, t));
}

double squared_distance_to_triangle(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) noexcept {
  const Vec3 ab = b - a, ac = c - a, ap = p - a;
  const double d1 = dot(ab, ap), d2 = dot(ac, ap);
  if (d1 <= 0 && d2 <= 0) return squared(ap);  // corner a

  const Vec3 bp = p - b;
  const double d3 = dot(ab, bp), d4 = dot(ac, bp);
  if (d3 >= 0 && d4 <= d3) return squared(bp);  // corner b

  const Vec3 cp = p - c;
  const double d5 = dot(ab, cp), d6 = dot(ac, cp);
  if (d6 >= 0 && d5 <= d6) return squared(cp);  // corner c

  const double vc = d1 * d4 - d3 * d2;
  const double vb = d5 * d2 - d1 * d6;
  const double va = d3 * d6 - d5 * d4;
  // va + vb + vc is |ab x ac|^2 up to rounding: a sliver whose sine of its
  // angle at a is below 1e-6 is measured as its edges, which lie within
  // 1e-6 of its longest side's length of its surface.
  if (!(va + vb + vc > 1e-12 * squared(ab) * squared(ac))) {
    return std::min({squared_distance_to_segment(p, a, b), squared_distance_to_segment(p, b, c),
                     squared_distance_to_segment(p, c, a)});
  }
  if (vc <= 0 && d1 >= 0 && d3 <= 0) return squared(p - along(a, ab, d1 / (d1 - d3)));  // edge ab
  if (vb <= 0 && d2 >= 0 && d6 <= 0) return squared(p - along(a, ac, d2 / (d2 - d6)));  // edge ac
  if (va <= 0 && d4 - d3 >= 0 && d5 - d6 >= 0)                                         // edge bc
    return squared(p - along(b, c - b, (d4 - d3) / ((d4 - d3) + (d5 - d6))));

  // Inside the face: the distance to its plane.
  const Vec3 n{ab.y * ac.z - ab.z * ac.y, ab.z * ac.x - ab.x * ac.z, ab.x * ac.y - ab.y * ac.x};
  const double h = dot(n, ap);
  return h * h / squared(n);
}

}  // namespace quarnet::geometry
