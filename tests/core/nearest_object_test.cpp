#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/geometry/point_triangle.hpp"
#include "quarnet/mesh/nearest_object.hpp"
#include "quarnet/spatial/point_grid.hpp"

namespace {

using quarnet::geometry::squared_distance_to_triangle;
using quarnet::geometry::Vec3;

// Another way to the same distance: the plane when the foot of the
// perpendicular lies inside (barycentric signs), else the nearest edge.
double reference_distance2(const Vec3& p, const Vec3& a, const Vec3& b, const Vec3& c) {
  auto sub = [](Vec3 u, Vec3 v) { return Vec3{u.x - v.x, u.y - v.y, u.z - v.z}; };
  auto dot = [](Vec3 u, Vec3 v) { return u.x * v.x + u.y * v.y + u.z * v.z; };
  auto cross = [](Vec3 u, Vec3 v) { return Vec3{u.y * v.z - u.z * v.y, u.z * v.x - u.x * v.z, u.x * v.y - u.y * v.x}; };
  auto segment = [&](Vec3 s, Vec3 e) {
    const Vec3 d = sub(e, s);
    const double t = std::clamp(dot(sub(p, s), d) / dot(d, d), 0.0, 1.0);
    const Vec3 q{s.x + t * d.x, s.y + t * d.y, s.z + t * d.z};
    return dot(sub(p, q), sub(p, q));
  };
  double best = std::min({segment(a, b), segment(b, c), segment(c, a)});
  const Vec3 n = cross(sub(b, a), sub(c, a));
  const double h = dot(n, sub(p, a)) / dot(n, n);
  const Vec3 foot{p.x - h * n.x, p.y - h * n.y, p.z - h * n.z};
  const bool inside = dot(cross(sub(b, a), sub(foot, a)), n) >= 0 && dot(cross(sub(c, b), sub(foot, b)), n) >= 0 &&
                      dot(cross(sub(a, c), sub(foot, c)), n) >= 0;
  if (inside) best = std::min(best, h * h * dot(n, n));
  return best;
}

TEST(PointTriangle, EachRegionOfTheTriangle) {
  const Vec3 a{0, 0, 0}, b{2, 0, 0}, c{0, 2, 0};
  struct Case {
    Vec3 p;
    double expected;
  } cases[] = {
      {{0.5, 0.5, 3}, 9},      // above the face
      {{0.5, 0.5, 0}, 0},      // on the face
      {{-1, -1, 0}, 2},        // corner a
      {{3, -1, 1}, 3},         // corner b
      {{-1, 4, 0}, 5},         // corner c
      {{1, -2, 0}, 4},         // edge ab
      {{-3, 1, 4}, 25},        // edge ca
      {{2, 2, 0}, 2},          // edge bc
      {{1, 1, 0}, 0},          // on edge bc
  };
  for (const auto& k : cases) EXPECT_DOUBLE_EQ(squared_distance_to_triangle(k.p, a, b, c), k.expected);
}

TEST(PointTriangle, DegenerateTrianglesAreTheirSegments) {
  const Vec3 p{1, 1, 0};
  EXPECT_DOUBLE_EQ(squared_distance_to_triangle(p, {0, 0, 0}, {2, 0, 0}, {4, 0, 0}), 1);  // collinear
  EXPECT_DOUBLE_EQ(squared_distance_to_triangle(p, {0, 0, 0}, {4, 0, 0}, {2, 0, 0}), 1);
  EXPECT_DOUBLE_EQ(squared_distance_to_triangle(p, {3, 1, 0}, {3, 1, 0}, {3, 1, 0}), 4);  // one point
  EXPECT_DOUBLE_EQ(squared_distance_to_triangle(p, {1, 3, 0}, {1, 3, 0}, {1, 5, 0}), 4);  // two equal corners
  EXPECT_DOUBLE_EQ(quarnet::geometry::squared_distance_to_segment(p, {5, 1, 0}, {5, 1, 0}), 16);
}

TEST(PointTriangle, AgreesWithTheReferenceOnRandomTriangles) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> u(-1, 1);
  auto point = [&] { return Vec3{u(rng), u(rng), u(rng)}; };
  for (int k = 0; k < 20000; ++k) {
    const Vec3 a = point(), b = point(), c = point(), p = point();
    const double expected = reference_distance2(p, a, b, c);
    EXPECT_NEAR(squared_distance_to_triangle(p, a, b, c), expected, 1e-12 * (1 + expected)) << k;
  }
}

TEST(PointGrid, VisitsEveryPointInTheBoxOnce) {
  std::mt19937_64 rng(3);
  std::uniform_real_distribution<double> u(-1, 1);
  std::vector<double> pts(3 * 3000);
  for (auto& x : pts) x = u(rng);
  pts[30] = std::numeric_limits<double>::quiet_NaN();  // point 10 is left out
  pts[61] = std::numeric_limits<double>::infinity();   // and point 20
  for (const double cell : {0.01, 0.1, 0.7, 5.0}) {
    const quarnet::spatial::PointGrid grid(pts, cell);
    EXPECT_EQ(grid.size(), 2998u);
    for (int q = 0; q < 200; ++q) {
      double lo[3], hi[3];
      const double size = q % 2 ? 0.05 : 1.5;  // small boxes probe cells, big ones scan them
      for (int d = 0; d < 3; ++d) lo[d] = u(rng) * 1.5, hi[d] = lo[d] + size;
      std::multiset<std::int64_t> seen;
      grid.for_each_near_box(lo, hi, [&](std::int64_t id, const double* p) {
        EXPECT_EQ(p[0], pts[3 * id]);
        seen.insert(id);
      });
      for (std::int64_t id = 0; id < 3000; ++id) {
        const double* p = &pts[3 * id];
        const bool inside = p[0] >= lo[0] && p[0] <= hi[0] && p[1] >= lo[1] && p[1] <= hi[1] && p[2] >= lo[2] &&
                            p[2] <= hi[2] && std::isfinite(p[1]);
        if (inside) {
          EXPECT_EQ(seen.count(id), 1u) << cell << " " << q << " " << id;
        }
        EXPECT_LE(seen.count(id), 1u);
      }
    }
  }
}

TEST(PointGrid, FarApartPointsAndEmptyGrids) {
  const std::vector<double> far = {0, 0, 0, 1e300, 0, 0, -1e300, 5, 5};
  const quarnet::spatial::PointGrid grid(far, 1e-3);
  EXPECT_GT(grid.cell(), 1e-3);  // grown to stay within 2^40 cells per axis
  const double lo[3] = {-1, -1, -1}, hi[3] = {1, 1, 1};
  std::vector<std::int64_t> seen;
  grid.for_each_near_box(lo, hi, [&](std::int64_t id, const double*) { seen.push_back(id); });
  EXPECT_NE(std::find(seen.begin(), seen.end(), 0), seen.end());

  const quarnet::spatial::PointGrid empty(std::vector<double>{}, 1.0);
  empty.for_each_near_box(lo, hi, [&](std::int64_t, const double*) { ADD_FAILURE(); });
  EXPECT_THROW(quarnet::spatial::PointGrid(std::vector<double>{1, 2}, 1.0), quarnet::ArgumentError);
  EXPECT_THROW(quarnet::spatial::PointGrid(far, 0.0), quarnet::ArgumentError);
}

// A bumpy sheet of triangles and points of three objects scattered above it.
struct Scene {
  std::vector<double> vertices;
  std::vector<std::int64_t> faces;
  std::vector<double> points;
  std::vector<std::int32_t> objects;
  quarnet::mesh::IndexedMesh mesh() const { return {vertices, faces}; }
};

Scene random_scene(unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> u(0, 1);
  Scene s;
  const int n = 40;
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j) s.vertices.insert(s.vertices.end(), {i / double(n), j / double(n), 0.01 * u(rng)});
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const std::int64_t v = i * (n + 1) + j;
      s.faces.insert(s.faces.end(), {v, v + n + 1, v + 1, v + 1, v + n + 1, v + n + 2});
    }
  s.faces.insert(s.faces.end(), {0, 1, 2});  // a degenerate face along the first row
  for (int k = 0; k < 600; ++k) {
    s.points.insert(s.points.end(), {u(rng), u(rng), 0.05 * u(rng)});
    s.objects.push_back(static_cast<std::int32_t>(k % 3));
  }
  return s;
}

TEST(NearestObjects, MatchesEveryPointAgainstEveryFace) {
  for (const unsigned seed : {1u, 2u}) {
    const Scene s = random_scene(seed);
    const double radius = 0.03;
    const auto got = quarnet::mesh::nearest_objects(s.mesh(), s.points, s.objects, radius, 1);
    const auto threaded = quarnet::mesh::nearest_objects(s.mesh(), s.points, s.objects, radius, 4);
    EXPECT_EQ(got.object, threaded.object);
    EXPECT_EQ(got.distance, threaded.distance);
    std::size_t assigned = 0;
    for (std::size_t f = 0; f < s.faces.size() / 3; ++f) {
      auto corner = [&](int k) {
        const double* v = &s.vertices[3 * s.faces[3 * f + k]];
        return Vec3{v[0], v[1], v[2]};
      };
      double best = radius * radius;
      std::int32_t owner = -1;
      for (std::size_t p = 0; p < s.objects.size(); ++p) {
        const double d = squared_distance_to_triangle({s.points[3 * p], s.points[3 * p + 1], s.points[3 * p + 2]},
                                                      corner(0), corner(1), corner(2));
        if (d < best || (d == best && (owner < 0 || s.objects[p] < owner))) best = d, owner = s.objects[p];
      }
      ASSERT_EQ(got.object[f], owner) << f;
      EXPECT_EQ(got.distance[f], owner >= 0 ? std::sqrt(best) : std::numeric_limits<double>::infinity());
      assigned += owner >= 0;
    }
    EXPECT_GT(assigned, 100u);
    EXPECT_LT(assigned, s.faces.size() / 3);
  }
}

TEST(NearestObjects, EqualDistancesGoToTheLowestObjectAndTheRadiusCounts) {
  const std::vector<double> vertices = {0, 0, 0, 1, 0, 0, 0, 1, 0, 5, 5, 0, 6, 5, 0, 5, 6, std::nan("")};
  const std::vector<std::int64_t> faces = {0, 1, 2, 3, 4, 5};
  const quarnet::mesh::IndexedMesh mesh{vertices, faces};
  // Objects 2 and 1 at the same height above face 0; object 0 just too far.
  const std::vector<double> points = {0.2, 0.2, 0.5, 0.3, 0.3, 0.5, 0.1, 0.1, -0.75, 5.2, 5.2, 0.0};
  const std::vector<std::int32_t> objects = {2, 1, 0, 0};
  auto got = quarnet::mesh::nearest_objects(mesh, points, objects, 0.5);
  EXPECT_EQ(got.object, (std::vector<std::int32_t>{1, -1}));  // face 1 has a corner that is not finite
  EXPECT_EQ(got.distance[0], 0.5);
  got = quarnet::mesh::nearest_objects(mesh, points, objects, 0.4);
  EXPECT_EQ(got.object[0], -1);
}

TEST(NearestObjects, RefusesBadArguments) {
  const Scene s = random_scene(1);
  using quarnet::ArgumentError;
  using quarnet::mesh::nearest_objects;
  for (const double radius : {0.0, -1.0, std::nan(""), HUGE_VAL})
    EXPECT_THROW(nearest_objects(s.mesh(), s.points, s.objects, radius), ArgumentError);
  EXPECT_THROW(nearest_objects(s.mesh(), s.points, std::span(s.objects).first(5), 0.1), ArgumentError);
  std::vector<std::int32_t> negative = s.objects;
  negative[3] = -2;
  EXPECT_THROW(nearest_objects(s.mesh(), s.points, negative, 0.1), ArgumentError);
  std::vector<std::int64_t> faces = s.faces;
  faces[4] = 1 << 20;
  EXPECT_THROW(nearest_objects({s.vertices, faces}, s.points, s.objects, 0.1), ArgumentError);
  const auto none = nearest_objects(s.mesh(), {}, {}, 0.1);
  EXPECT_TRUE(std::all_of(none.object.begin(), none.object.end(), [](auto k) { return k == -1; }));
}

}  // namespace
