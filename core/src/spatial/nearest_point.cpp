#include "quarnet/spatial/nearest_point.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace quarnet::spatial {
namespace {

constexpr std::int64_t kMaxCellsPerAxis = 1 << 12;
constexpr double kSlack = 1.0 - 1e-12;  // lower bounds shrink by far more than rounding

}  // namespace

NearestPoint::NearestPoint(std::span<const double> points) {
  if (points.empty() || points.size() % 3 != 0) throw std::invalid_argument("no points, or a partial point");
  const std::size_t n = points.size() / 3;
  if (n > std::numeric_limits<std::uint32_t>::max() / 2) throw std::length_error("too many points");
  double scale = 0.0;
  double hi[3];
  for (int a = 0; a < 3; ++a) {
    lo_[a] = std::numeric_limits<double>::infinity();
    hi[a] = -std::numeric_limits<double>::infinity();
  }
  for (std::size_t k = 0; k < n; ++k) {
    for (int a = 0; a < 3; ++a) {
      const double x = points[3 * k + a];
      if (!std::isfinite(x)) throw std::invalid_argument("point that is not finite");
      lo_[a] = std::min(lo_[a], x);
      hi[a] = std::max(hi[a], x);
    }
  }
  // About four cells per point, cubic over the axes the points spread along
  // (points on surfaces fill few of them).
  double volume = 1.0;
  int spread = 0;
  for (int a = 0; a < 3; ++a) {
    scale = std::max({scale, std::abs(lo_[a]), std::abs(hi[a]), hi[a] - lo_[a]});
    if (hi[a] > lo_[a]) {
      volume *= hi[a] - lo_[a];
      ++spread;
    }
  }
  const double side = spread == 0 ? 1.0 : std::pow(volume / (4.0 * static_cast<double>(n)), 1.0 / spread);
  std::int64_t total = 1;
  for (int a = 0; a < 3; ++a) {
    const double extent = hi[a] - lo_[a];
    cells_[a] = extent > 0 ? std::clamp<std::int64_t>(static_cast<std::int64_t>(std::ceil(extent / side)), 1,
                                                      kMaxCellsPerAxis)
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
      const double at = std::clamp((p[a] - lo_[a]) * inverse_[a], 0.0, static_cast<double>(cells_[a] - 1));
      const auto i = static_cast<std::int64_t>(at);
      c = c * cells_[a] + i;
    }
    return static_cast<std::size_t>(c);
  };
  cell_start_.assign(static_cast<std::size_t>(total) + 1, 0);
  for (std::size_t k = 0; k < n; ++k) ++cell_start_[cell_of(&points[3 * k]) + 1];
  for (std::size_t c = 1; c < cell_start_.size(); ++c) cell_start_[c] += cell_start_[c - 1];
  std::vector<std::uint32_t> next(cell_start_.begin(), cell_start_.end() - 1);
  points_.resize(3 * n);
  for (std::size_t k = 0; k < n; ++k) {
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
  std::int64_t centre[3];
  for (int a = 0; a < 3; ++a) {  // clamped as a double: a far query's index fits no integer
    const double at = std::floor((q[a] - lo_[a]) * inverse_[a]);
    centre[a] = static_cast<std::int64_t>(std::clamp(at, 0.0, static_cast<double>(cells_[a] - 1)));
  }
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
      if (!any || bound > best) break;
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
