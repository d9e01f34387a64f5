// What lies within a reach of a mesh face: the face's corners where they are
// finite, and the points of a grid inside the face's box grown by the reach
// (the candidates of a search for the points within that distance of it).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <optional>

#include "quarnet/geometry/point_triangle.hpp"
#include "quarnet/mesh/indexed_mesh.hpp"
#include "quarnet/spatial/point_grid.hpp"

namespace quarnet::mesh {

struct Triangle {
  geometry::Vec3 a, b, c;
};

// The corners of face f, or none where a coordinate is not finite (such a
// face lies near nothing). The face's ids must be in range.
inline std::optional<Triangle> finite_triangle(const IndexedMesh& mesh, std::size_t f) {
  const auto corner = [&](std::size_t k) {
    const double* v = &mesh.vertices[3 * static_cast<std::size_t>(mesh.faces[3 * f + k])];
    return geometry::Vec3{v[0], v[1], v[2]};
  };
  const Triangle t{corner(0), corner(1), corner(2)};
  for (const geometry::Vec3& v : {t.a, t.b, t.c})
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z)) return std::nullopt;
  return t;
}

// visit(id, xyz) for the grid's points inside the box of `t` grown by `reach`
// on every side: every point within `reach` of the triangle, and others.
template <class Visit>
void for_each_point_near(const spatial::PointGrid& grid, const Triangle& t, double reach, Visit&& visit) {
  const double lo[3] = {std::min({t.a.x, t.b.x, t.c.x}) - reach, std::min({t.a.y, t.b.y, t.c.y}) - reach,
                        std::min({t.a.z, t.b.z, t.c.z}) - reach};
  const double hi[3] = {std::max({t.a.x, t.b.x, t.c.x}) + reach, std::max({t.a.y, t.b.y, t.c.y}) + reach,
                        std::max({t.a.z, t.b.z, t.c.z}) + reach};
  grid.for_each_near_box(lo, hi, [&](std::int64_t id, const double* p) {
    if (p[0] < lo[0] || p[0] > hi[0] || p[1] < lo[1] || p[1] > hi[1] || p[2] < lo[2] || p[2] > hi[2]) return;
    visit(id, p);
  });
}

}  // namespace quarnet::mesh
