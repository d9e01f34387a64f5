// The distance from a query point to the nearest of a set of 3-D points, as
// SciPy's cKDTree.query returns it: the square root of the smallest squared
// distance, each summed as ((0 + dx*dx) + dy*dy) + dz*dz with d = point -
// query. Any exact search gives that very value, whichever of several
// equally near points it meets first; this one files the points in a
// uniform grid (a counting sort, no allocation per point) and searches rings
// of cells outwards, stopping only where every cell left lies, by a margin
// far wider than rounding, beyond the best distance found. A query far from
// every point, or amid a crowd of them, may cost more cells and points than
// a budget allows: it is then left to the caller (a k-d tree answers those).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnet/memory/reuse.hpp"

namespace quarnet::spatial {

class NearestPoint {
 public:
  // `points` holds N x 3 coordinates, N >= 1, all finite (ArgumentError otherwise).
  explicit NearestPoint(std::span<const double> points);
  // The points whose mark in `kept` (one per point) is not 0.
  NearestPoint(std::span<const double> points, std::span<const std::uint8_t> kept);

  // The distance from (q[0], q[1], q[2]) to the nearest point, or nullopt
  // where finding it would look at more than about `budget` cells and
  // points. ArgumentError for a query that is not finite.
  std::optional<double> distance(const double* q, std::size_t budget = SIZE_MAX) const;

 private:
  double gap2(const double* q, const std::int64_t* first, const std::int64_t* last) const;

  memory::Vector<double> points_;             // in cell order, 3 per point
  memory::Vector<std::uint32_t> cell_start_;  // per cell, then the end
  double lo_[3], size_[3], inverse_[3], margin_;
  std::int64_t cells_[3];
};

}  // namespace quarnet::spatial
