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
      if (!t) continue;
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
