#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/geometry/point_triangle.hpp"
#include "quarnet/mesh/surface_distance.hpp"

namespace {

using quarnet::geometry::Vec3;
using quarnet::mesh::distances_to_surface;
using quarnet::mesh::IndexedMesh;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Every point against every face.
std::vector<double> brute_force(const std::vector<double>& v, const std::vector<std::int64_t>& f,
                                const std::vector<double>& p, double reach) {
  std::vector<double> out;
  for (std::size_t k = 0; k < p.size(); k += 3) {
    double best = kInf;
    for (std::size_t t = 0; t < f.size(); t += 3) {
      auto at = [&](std::int64_t i) { return Vec3{v[3 * i], v[3 * i + 1], v[3 * i + 2]}; };
      best = std::min(best, quarnet::geometry::squared_distance_to_triangle({p[k], p[k + 1], p[k + 2]}, at(f[t]),
                                                                            at(f[t + 1]), at(f[t + 2])));
    }
    out.push_back(std::sqrt(best) <= reach ? std::sqrt(best) : kInf);
  }
  return out;
}

TEST(SurfaceDistance, EqualsEveryPointAgainstEveryFaceWithinTheReach) {
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> box(-1, 1), jitter(-0.2, 0.2);
  std::vector<double> v;
  std::vector<std::int64_t> f;
  for (int t = 0; t < 300; ++t) {  // scattered triangles
    const double cx = box(rng), cy = box(rng), cz = box(rng);
    for (int k = 0; k < 3; ++k) v.insert(v.end(), {cx + jitter(rng), cy + jitter(rng), cz + jitter(rng)});
    f.insert(f.end(), {3 * t, 3 * t + 1, 3 * t + 2});
  }
  const std::int64_t base = static_cast<std::int64_t>(v.size() / 3);  // and a plane of small triangles
  for (int i = 0; i <= 60; ++i)
    for (int j = 0; j <= 60; ++j) v.insert(v.end(), {-1.2 + 0.04 * i, -1.2 + 0.04 * j, 0.3 + 0.01 * jitter(rng)});
  for (int i = 0; i < 60; ++i)
    for (int j = 0; j < 60; ++j) {
      const std::int64_t a = base + 61 * i + j;
      f.insert(f.end(), {a, a + 61, a + 1, a + 1, a + 61, a + 62});
    }
  std::vector<double> p;
  for (int k = 0; k < 3 * 500; ++k) p.push_back(1.5 * box(rng));
  const IndexedMesh mesh{v, f};
  for (const double reach : {0.01, 0.03, 0.1, 0.5, 10.0}) {
    const auto expected = brute_force(v, f, p, reach);
    for (const unsigned threads : {1u, 3u}) EXPECT_EQ(distances_to_surface(mesh, p, reach, threads), expected) << reach;
  }
}

TEST(SurfaceDistance, PointsBeyondTheReachOrNotFiniteAreInfinitelyFar) {
  const std::vector<double> v = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, NAN};
  const std::vector<std::int64_t> f = {0, 1, 2, 0, 1, 3};  // the second face has a corner that is not finite
  const std::vector<double> p = {0.2, 0.2, 0.5, 0.2, 0.2, 3, NAN, 0, 0, 2, 0, 0};
  EXPECT_EQ(distances_to_surface({v, f}, p, 1.0), (std::vector<double>{0.5, kInf, kInf, 1.0}));
  EXPECT_EQ(distances_to_surface({v, {}}, p, 1.0), std::vector<double>(4, kInf));
  EXPECT_THROW(distances_to_surface({v, f}, p, 0.0), quarnet::ArgumentError);
  EXPECT_THROW(distances_to_surface({v, f}, p, kInf), quarnet::ArgumentError);
  const std::vector<std::int64_t> outside = {0, 1, 4};
  EXPECT_THROW(distances_to_surface({v, outside}, p, 1.0), quarnet::ArgumentError);
}

}  // namespace
