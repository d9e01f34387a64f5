// A uniform grid over 3-D points for box queries: the points of each occupied
// cell lie together, and a hash table finds a cell from its integer
// coordinates. A query visits the points of the cells its box touches (a
// superset of the points inside the box), or, where the box spans more cells
// than are occupied, the points of every occupied cell it touches.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quarnet::spatial {

class PointGrid {
 public:
  // points: x, y, z of each point, packed. cell: the edge length the caller
  // asks for (> 0); it grows where the points span more than 2^40 cells
  // along an axis. Points with a coordinate that is not finite are left out.
  PointGrid(std::span<const double> points, double cell);

  std::size_t size() const noexcept { return ids_.size(); }  // points stored
  double cell() const noexcept { return cell_; }

  // visit(id, xyz) for the stored points of every cell that meets the box
  // lo ... hi (id: the point's index in the array given, xyz: its three
  // coordinates). Cells in turn, each cell's points in their given order.
  template <class Visit>
  void for_each_near_box(const double lo[3], const double hi[3], Visit&& visit) const;

 private:
  struct Cell {
    std::int64_t i[3];
    std::uint32_t begin, end;  // into ids_ and xyz_
  };
  static std::uint64_t hash(std::int64_t x, std::int64_t y, std::int64_t z) noexcept;
  const Cell* find(std::int64_t x, std::int64_t y, std::int64_t z) const noexcept;
  // The cell range [first, last] of lo ... hi along axis d, clipped to the
  // occupied range; false when it misses the points.
  bool range(double lo, double hi, int d, std::int64_t& first, std::int64_t& last) const noexcept;
  template <class Visit>
  void visit_cell(const Cell& c, Visit& visit) const;

  double origin_[3] = {0, 0, 0};
  double cell_ = 1;
  std::int64_t top_[3] = {-1, -1, -1};  // highest occupied cell coordinate per axis (-1: no point)
  std::vector<std::int64_t> ids_;
  std::vector<double> xyz_;
  std::vector<Cell> cells_;
  std::vector<std::uint32_t> slots_;  // cell index + 1, 0 for an empty slot
};

// ---- inline ------------------------------------------------------------------

inline std::uint64_t PointGrid::hash(std::int64_t x, std::int64_t y, std::int64_t z) noexcept {
  std::uint64_t h = static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull;
  h ^= static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4Full + (h << 6) + (h >> 2);
  h ^= static_cast<std::uint64_t>(z) * 0x165667B19E3779F9ull + (h << 6) + (h >> 2);
  return h ^ (h >> 31);
}

inline const PointGrid::Cell* PointGrid::find(std::int64_t x, std::int64_t y, std::int64_t z) const noexcept {
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t s = hash(x, y, z) & mask;; s = (s + 1) & mask) {
    const std::uint32_t k = slots_[s];
    if (k == 0) return nullptr;
    const Cell& c = cells_[k - 1];
    if (c.i[0] == x && c.i[1] == y && c.i[2] == z) return &c;
  }
}

inline bool PointGrid::range(double lo, double hi, int d, std::int64_t& first, std::int64_t& last) const noexcept {
  const double a = std::floor((lo - origin_[d]) / cell_), b = std::floor((hi - origin_[d]) / cell_);
  if (!(b >= 0) || !(a <= static_cast<double>(top_[d]))) return false;  // also NaN bounds
  first = a <= 0 ? 0 : static_cast<std::int64_t>(a);
  last = b >= static_cast<double>(top_[d]) ? top_[d] : static_cast<std::int64_t>(b);
  return first <= last;
}

template <class Visit>
void PointGrid::visit_cell(const Cell& c, Visit& visit) const {
  for (std::uint32_t k = c.begin; k < c.end; ++k) visit(ids_[k], &xyz_[3 * static_cast<std::size_t>(k)]);
}

template <class Visit>
void PointGrid::for_each_near_box(const double lo[3], const double hi[3], Visit&& visit) const {
  std::int64_t first[3], last[3];
  for (int d = 0; d < 3; ++d)
    if (!range(lo[d], hi[d], d, first[d], last[d])) return;
  double span = 1;
  for (int d = 0; d < 3; ++d) span *= static_cast<double>(last[d] - first[d] + 1);
  if (span > static_cast<double>(cells_.size())) {
    for (const Cell& c : cells_) {
      if (c.i[0] >= first[0] && c.i[0] <= last[0] && c.i[1] >= first[1] && c.i[1] <= last[1] &&
          c.i[2] >= first[2] && c.i[2] <= last[2])
        visit_cell(c, visit);
    }
    return;
  }
  for (std::int64_t x = first[0]; x <= last[0]; ++x)
    for (std::int64_t y = first[1]; y <= last[1]; ++y)
      for (std::int64_t z = first[2]; z <= last[2]; ++z)
        if (const Cell* c = find(x, y, z)) visit_cell(*c, visit);
}

}  // namespace quarnet::spatial
