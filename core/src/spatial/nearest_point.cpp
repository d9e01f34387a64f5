#include "quarnet/spatial/nearest_point.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "quarnet/errors.hpp"

namespace quarnet::spatial {
namespace {

constexpr std::int64_t kMaxCellsPerAxis = 1 << 12;
constexpr double kSlack = 1.0 - 1e-12;  // lower bounds shrink by far more than rounding

// The cell along an axis of `cells` cells for a position `at` in cell units
// (clamped to the grid; NaN, where an extent overflowed, is cell 0).
std::int64_t cell_at(double at, std::int64_t cells) {
  return at >= 0 ? static_cast<std::int64_t>(std::min(at, static_cast<double>(cells - 1))) : 0;
}

}  // namespace

NearestPoint::NearestPoint(std::span<const double> points) : NearestPoint(points, {}) {}

NearestPoint::NearestPoint(std::span<const double> points, std::span<const std::uint8_t> kept) {
  if (points.size() % 3 != 0) throw ArgumentError("a partial point");
  if (!kept.empty() && kept.size() != points.size() / 3) throw ArgumentError("one mark per point expected");
  // The points taken, in order.
  const auto taken = [&](std::size_t k) { return kept.empty() || kept[k] != 0; };
  std::size_t n = 0;
  for (std::size_t k = 0; k < points.size() / 3; ++k) n += taken(k);
  if (n == 0) throw ArgumentError("no points");
  if (n > std::numeric_limits<std::uint32_t>::max() / 2) throw ArgumentError("too many points for one search");
  double scale = 0.0;
  double hi[3];
  for (int a = 0; a < 3; ++a) {
    lo_[a] = std::numeric_limits<double>::infinity();
    hi[a] = -std::numeric_limits<double>::infinity();
  }
  for (std::size_t k = 0; k < points.size() / 3; ++k) {
    if (!taken(k)) continue;
    for (int a = 0; a < 3; ++a) {
      const double x = points[3 * k + a];
      if (!std::isfinite(x)) throw ArgumentError("point that is not finite");
      lo_[a] = std::min(lo_[a], x);
      hi[a] = std::max(hi[a], x);
    }
  }
  // About four cells per point, cubic over the axes the points spread along
  // (points on surfaces fill few of them); the volume in logarithms, which
  // neither underflow nor overflow at any scale.
  double log_volume = 0.0;
  int spread = 0;
  for (int a = 0; a < 3; ++a) {
    scale = std::max({scale, std::abs(lo_[a]), std::abs(hi[a]), hi[a] - lo_[a]});
    if (hi[a] > lo_[a]) {
      log_volume += std::log(hi[a] - lo_[a]);
      ++spread;
    }
  }
  const double side = spread == 0 ? 1.0 : std::exp((log_volume - std::log(4.0 * static_cast<double>(n))) / spread);
  std::int64_t total = 1;
  for (int a = 0; a < 3; ++a) {
    const double extent = hi[a] - lo_[a];
    const double count = std::ceil(extent / side);  // NaN or inf where the extent overflows
    cells_[a] = count >= static_cast<double>(kMaxCellsPerAxis) ? kMaxCellsPerAxis
                : count >= 1.0                                   ? static_cast<std::int64_t>(count)
                                                                 : 1;
    size_[a] = extent / static_cast<double>(cells_[a]);
    inverse_[a] = extent > 0 ? static_cast<double>(cells_[a]) / extent : 0.0;
    total *= cells_[a];
  }
  margin_ = 1e-9 * scale + std::numeric_limits<double>::denorm_min();

  // Counting sort of the points into their cells.
  auto cell_of = [&](const double* p) {
    std::int64_t c = 0;
    for (int a = 0; a < 3; ++a) {
      c = c * cells_[a] + cell_at((p[a] - lo_[a]) * inverse_[a], cells_[a]);
    }
    return static_cast<std::size_t>(c);
  };
  cell_start_.assign(static_cast<std::size_t>(total) + 1, 0);
  for (std::size_t k = 0; k < points.size() / 3; ++k)
    if (taken(k)) ++cell_start_[cell_of(&points[3 * k]) + 1];
  for (std::size_t c = 1; c < cell_start_.size(); ++c) cell_start_[c] += cell_start_[c - 1];
  memory::Vector<std::uint32_t> next(cell_start_.begin(), cell_start_.end() - 1);
  points_.resize(3 * n);
  for (std::size_t k = 0; k < points.size() / 3; ++k) {
    if (!taken(k)) continue;
    const std::uint32_t at = next[cell_of(&points[3 * k])]++;
    std::copy_n(&points[3 * k], 3, &points_[3 * static_cast<std::size_t>(at)]);
  }
}

// The squared distance from q to the cells first[a] <= i[a] <= last[a] (a
// box of cells), less a margin: no point filed there is nearer.
double NearestPoint::gap2(const double* q, const std::int64_t* first, const std::int64_t* last) const {
  double sum = 0.0;
  for (int a = 0; a < 3; ++a) {
    const double from = lo_[a] + static_cast<double>(first[a]) * size_[a] - margin_;
    const double to = lo_[a] + static_cast<double>(last[a] + 1) * size_[a] + margin_;
    const double gap = q[a] < from ? from - q[a] : q[a] > to ? q[a] - to : 0.0;
    sum += gap * gap;
  }
  return sum * kSlack;
}

std::optional<double> NearestPoint::distance(const double* q, std::size_t budget) const {
  if (!(std::isfinite(q[0]) && std::isfinite(q[1]) && std::isfinite(q[2])))
    throw ArgumentError("query point that is not finite");
  std::int64_t centre[3];
  for (int a = 0; a < 3; ++a) centre[a] = cell_at((q[a] - lo_[a]) * inverse_[a], cells_[a]);
  double best = std::numeric_limits<double>::infinity();
  std::size_t spent = 0;  // cells and points looked at
  auto scan = [&](std::int64_t i, std::int64_t j, std::int64_t k) {
    ++spent;
    const std::size_t c = static_cast<std::size_t>((i * cells_[1] + j) * cells_[2] + k);
    const std::uint32_t from = cell_start_[c], to = cell_start_[c + 1];
    if (from == to) return;
    const std::int64_t cell[3] = {i, j, k};
    if (gap2(q, cell, cell) > best) return;
    spent += to - from;
    for (std::uint32_t p = from; p < to; ++p) {
      const double* v = &points_[3 * static_cast<std::size_t>(p)];
      double s = 0.0;  // SciPy's order of the sum, from zero
      for (int a = 0; a < 3; ++a) {
        const double d = v[a] - q[a];
        s += d * d;
      }
      best = std::min(best, s);
    }
  };
  for (std::int64_t r = 0;; ++r) {
    if (r > 0) {
      if (spent > budget) return std::nullopt;
      // The cells r or more steps away: the slabs beyond centre +- (r - 1).
      bool any = false;
      double bound = std::numeric_limits<double>::infinity();
      for (int a = 0; a < 3; ++a) {
        std::int64_t first[3] = {0, 0, 0}, last[3] = {cells_[0] - 1, cells_[1] - 1, cells_[2] - 1};
        if (centre[a] + r < cells_[a]) {
          first[a] = centre[a] + r;
          bound = std::min(bound, gap2(q, first, last));
          any = true;
          first[a] = 0;
        }
        if (centre[a] - r >= 0) {
          last[a] = centre[a] - r;
          bound = std::min(bound, gap2(q, first, last));
          any = true;
        }
      }
      if (!any || bound > best || best == 0.0) break;  // nothing lies nearer than 0
    }
    // The shell of cells exactly r steps away.
    const std::int64_t i0 = std::max<std::int64_t>(centre[0] - r, 0), i1 = std::min(centre[0] + r, cells_[0] - 1);
    const std::int64_t j0 = std::max<std::int64_t>(centre[1] - r, 0), j1 = std::min(centre[1] + r, cells_[1] - 1);
    for (std::int64_t i = i0; i <= i1; ++i) {
      for (std::int64_t j = j0; j <= j1; ++j) {
        if (std::max(std::abs(i - centre[0]), std::abs(j - centre[1])) == r) {
          for (std::int64_t k = std::max<std::int64_t>(centre[2] - r, 0); k <= std::min(centre[2] + r, cells_[2] - 1); ++k)
            scan(i, j, k);
        } else {
          if (centre[2] - r >= 0) scan(i, j, centre[2] - r);
          if (r > 0 && centre[2] + r < cells_[2]) scan(i, j, centre[2] + r);
        }
      }
    }
  }
  return std::sqrt(best);
}

}  // namespace quarnet::spatial
