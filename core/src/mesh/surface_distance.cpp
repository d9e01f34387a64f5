#include "quarnet/mesh/surface_distance.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/mesh/face_reach.hpp"
#include "quarnet/parallel/run_tasks.hpp"

namespace quarnet::mesh {
namespace {

constexpr std::size_t kFacesPerTask = 4096;
constexpr double kCoarse = 4;  // the coarse cells' edge, in reaches
constexpr double kSmall = 2.9;  // a face this wide (in reaches) or less takes the coarse test
constexpr std::size_t kMostCells = std::size_t{1} << 24;

// Where points are, coarsely: cells of kCoarse reaches, each marked when it
// or one of its 26 neighbours holds a point. A point within the reach of a
// face no wider than kSmall reaches along each axis lies less than kCoarse
// reaches from the face's first corner along each axis: in that corner's
// cell or a neighbour. So a small face whose first corner's cell is unmarked
// (or off the map) has no point within the reach, and is passed over at the
// cost of one look-up; most faces of a large mesh are such.
class NearMap {
 public:
  NearMap(std::span<const double> points, double reach) : cell_(kCoarse * reach), small_(kSmall * reach) {
    double lo[3] = {INFINITY, INFINITY, INFINITY}, hi[3] = {-INFINITY, -INFINITY, -INFINITY};
    for (std::size_t k = 0; k + 2 < points.size(); k += 3) {
      if (!finite(&points[k])) continue;
      for (int d = 0; d < 3; ++d) lo[d] = std::min(lo[d], points[k + d]), hi[d] = std::max(hi[d], points[k + d]);
    }
    if (!(lo[0] <= hi[0])) return;  // no finite point: every face is off the map
    double span[3], cells = 1;
    for (int d = 0; d < 3; ++d) {
      origin_[d] = lo[d] - cell_;
      cells *= span[d] = std::floor((hi[d] - origin_[d]) / cell_) + 2;
    }
    if (!(cells <= static_cast<double>(kMostCells))) {
      whole_ = true;  // too many cells for the map: every face is searched
      return;
    }
    for (int d = 0; d < 3; ++d) size_[d] = static_cast<std::int64_t>(span[d]);
    marked_.assign(static_cast<std::size_t>(cells), 0);
    for (std::size_t k = 0; k + 2 < points.size(); k += 3) {
      if (!finite(&points[k])) continue;
      std::int64_t first[3], last[3];  // the point's cell and its neighbours, kept on the map against rounding
      for (int d = 0; d < 3; ++d) {
        const auto i = static_cast<std::int64_t>(std::floor((points[k + d] - origin_[d]) / cell_));
        first[d] = std::clamp<std::int64_t>(i - 1, 0, size_[d] - 1);
        last[d] = std::clamp<std::int64_t>(i + 1, 0, size_[d] - 1);
      }
      for (std::int64_t x = first[0]; x <= last[0]; ++x)
        for (std::int64_t y = first[1]; y <= last[1]; ++y)
          for (std::int64_t z = first[2]; z <= last[2]; ++z) marked_[index(x, y, z)] = 1;
    }
  }

  // False only where no point lies within the reach of `t`.
  bool may_be_near(const Triangle& t) const {
    if (whole_) return true;
    const geometry::Vec3 &a = t.a, &b = t.b, &c = t.c;
    if (std::max({a.x, b.x, c.x}) - std::min({a.x, b.x, c.x}) > small_ ||
        std::max({a.y, b.y, c.y}) - std::min({a.y, b.y, c.y}) > small_ ||
        std::max({a.z, b.z, c.z}) - std::min({a.z, b.z, c.z}) > small_)
      return true;
    std::int64_t i[3];
    const double corner[3] = {a.x, a.y, a.z};
    for (int d = 0; d < 3; ++d) {
      const double at = std::floor((corner[d] - origin_[d]) / cell_);
      if (!(at >= 0 && at < static_cast<double>(size_[d]))) return false;  // off the map: far from every point
      i[d] = static_cast<std::int64_t>(at);
    }
    return marked_[index(i[0], i[1], i[2])] != 0;
  }

 private:
  static bool finite(const double* p) { return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]); }
  std::size_t index(std::int64_t x, std::int64_t y, std::int64_t z) const {
    return static_cast<std::size_t>((x * size_[1] + y) * size_[2] + z);
  }

  double cell_, small_;
  double origin_[3] = {0, 0, 0};
  std::int64_t size_[3] = {0, 0, 0};
  bool whole_ = false;
  std::vector<std::uint8_t> marked_;  // empty (and not whole_): no point at all
};

}  // namespace

std::vector<double> distances_to_surface(const IndexedMesh& mesh, std::span<const double> points, double reach,
                                         unsigned threads) {
  if (!(reach > 0) || !std::isfinite(reach))
    throw ArgumentError("the reach must be a positive finite number, got " + std::to_string(reach));
  if (mesh.vertices.size() % 3 != 0 || mesh.faces.size() % 3 != 0 || points.size() % 3 != 0)
    throw ArgumentError("coordinates and face corners must come in threes");
  if (!mesh.faces_in_range()) throw ArgumentError("a face refers to a vertex the mesh does not have");

  const std::size_t count = points.size() / 3, face_count = mesh.face_count();
  const double limit = reach * reach;
  if (count == 0 || face_count == 0) return std::vector<double>(count, std::numeric_limits<double>::infinity());

  const spatial::PointGrid grid(points, reach);
  const NearMap near(points, reach);
  const unsigned workers = threads == 0 ? parallel::hardware_threads() : threads;
  // Each worker keeps its own smallest squared distances; the minimum of
  // minima does not depend on which worker took which faces.
  std::vector<std::vector<double>> nearest(workers);
  const std::size_t tasks = (face_count + kFacesPerTask - 1) / kFacesPerTask;
  parallel::run_tasks(tasks, workers, [&](std::size_t task, unsigned worker) {
    std::vector<double>& best = nearest[worker];
    if (best.empty()) best.assign(count, std::numeric_limits<double>::infinity());
    const std::size_t end = std::min(face_count, (task + 1) * kFacesPerTask);
    for (std::size_t f = task * kFacesPerTask; f < end; ++f) {
      const std::optional<Triangle> t = finite_triangle(mesh, f);
      if (!t || !near.may_be_near(*t)) continue;
      for_each_point_near(grid, *t, reach, [&](std::int64_t id, const double* p) {
        const double d = geometry::squared_distance_to_triangle({p[0], p[1], p[2]}, t->a, t->b, t->c);
        double& kept = best[static_cast<std::size_t>(id)];
        if (d <= limit && d < kept) kept = d;
      });
    }
  });

  std::vector<double> out(count, std::numeric_limits<double>::infinity());
  for (const auto& best : nearest) {
    for (std::size_t k = 0; k < best.size(); ++k) out[k] = std::min(out[k], best[k]);
  }
  for (double& d : out) d = std::sqrt(d);
  return out;
}

}  // namespace quarnet::mesh
