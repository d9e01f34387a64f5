#include "quarnet/spatial/point_grid.hpp"

#include <algorithm>
#include <array>
#include <limits>
#include <numeric>

#include "quarnet/errors.hpp"

namespace quarnet::spatial {
namespace {
constexpr double kMaxCellsPerAxis = 1099511627776.0;  // 2^40: cell coordinates and their products stay exact
}

PointGrid::PointGrid(std::span<const double> points, double cell) {
  if (points.size() % 3 != 0) throw ArgumentError("point coordinates must come in threes");
  if (!(cell > 0) || !std::isfinite(cell)) throw ArgumentError("the grid's cell size must be a positive finite number");
  const std::size_t n = points.size() / 3;
  if (n >= std::numeric_limits<std::uint32_t>::max()) throw ArgumentError("too many points for one grid");

  std::vector<std::uint32_t> kept;
  kept.reserve(n);
  double lo[3], hi[3];
  for (int d = 0; d < 3; ++d) lo[d] = std::numeric_limits<double>::infinity(), hi[d] = -lo[d];
  for (std::size_t k = 0; k < n; ++k) {
    const double* p = &points[3 * k];
    if (!(std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]))) continue;
    kept.push_back(static_cast<std::uint32_t>(k));
    for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], p[d]), hi[d] = std::max(hi[d], p[d]);
  }
  cell_ = cell;
  if (kept.empty()) {
    slots_.assign(1, 0);
    return;
  }
  for (int d = 0; d < 3; ++d) {
    origin_[d] = lo[d];
    cell_ = std::max(cell_, (hi[d] - lo[d]) / kMaxCellsPerAxis);
  }

  std::vector<std::array<std::int64_t, 3>> index(kept.size());
  for (std::size_t j = 0; j < kept.size(); ++j) {
    const double* p = &points[3 * static_cast<std::size_t>(kept[j])];
    for (int d = 0; d < 3; ++d) {
      index[j][d] = static_cast<std::int64_t>(std::floor((p[d] - origin_[d]) / cell_));
      top_[d] = std::max(top_[d], index[j][d]);
    }
  }
  std::vector<std::uint32_t> order(kept.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) { return index[a] < index[b]; });

  ids_.resize(kept.size());
  xyz_.resize(3 * kept.size());
  for (std::size_t j = 0; j < order.size(); ++j) {
    const std::uint32_t k = kept[order[j]];
    ids_[j] = k;
    std::copy_n(&points[3 * static_cast<std::size_t>(k)], 3, &xyz_[3 * j]);
    if (j == 0 || index[order[j]] != index[order[j - 1]]) {
      const auto& i = index[order[j]];
      cells_.push_back({{i[0], i[1], i[2]}, static_cast<std::uint32_t>(j), 0});
    }
    cells_.back().end = static_cast<std::uint32_t>(j + 1);
  }

  std::size_t capacity = 2;
  while (capacity < 2 * cells_.size()) capacity *= 2;
  slots_.assign(capacity, 0);
  for (std::size_t c = 0; c < cells_.size(); ++c) {
    std::size_t s = hash(cells_[c].i[0], cells_[c].i[1], cells_[c].i[2]) & (capacity - 1);
    while (slots_[s] != 0) s = (s + 1) & (capacity - 1);
    slots_[s] = static_cast<std::uint32_t>(c + 1);
  }
}

}  // namespace quarnet::spatial
