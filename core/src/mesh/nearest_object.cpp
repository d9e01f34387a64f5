#include "quarnet/mesh/nearest_object.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/mesh/face_reach.hpp"
#include "quarnet/parallel/run_tasks.hpp"

namespace quarnet::mesh {
namespace {

constexpr std::size_t kFacesPerTask = 2048;

}  // namespace

NearestObjects nearest_objects(const IndexedMesh& mesh, std::span<const double> points,
                               std::span<const std::int32_t> objects, double radius, unsigned threads) {
  if (!(radius > 0) || !std::isfinite(radius))
    throw ArgumentError("the radius must be a positive finite number, got " + std::to_string(radius));
  if (mesh.vertices.size() % 3 != 0 || mesh.faces.size() % 3 != 0)
    throw ArgumentError("vertex coordinates and face corners must come in threes");
  if (points.size() != 3 * objects.size())
    throw ArgumentError("expected one object number per point: " + std::to_string(points.size() / 3) + " points, " +
                        std::to_string(objects.size()) + " object numbers");
  if (!mesh.faces_in_range()) throw ArgumentError("a face refers to a vertex the mesh does not have");
  for (const std::int32_t k : objects)
    if (k < 0) throw ArgumentError("object numbers must not be negative");

  const std::size_t face_count = mesh.face_count();
  NearestObjects out{std::vector<std::int32_t>(face_count, -1),
                     std::vector<double>(face_count, std::numeric_limits<double>::infinity())};
  if (face_count == 0 || objects.empty()) return out;

  // Cells as wide as the radius: a face's reach spans two or three per axis.
  const spatial::PointGrid grid(points, radius);
  const double limit = radius * radius;
  const std::size_t tasks = (face_count + kFacesPerTask - 1) / kFacesPerTask;
  parallel::run_tasks(tasks, threads == 0 ? parallel::hardware_threads() : threads, [&](std::size_t task, unsigned) {
    const std::size_t end = std::min(face_count, (task + 1) * kFacesPerTask);
    for (std::size_t f = task * kFacesPerTask; f < end; ++f) {
      const std::optional<Triangle> t = finite_triangle(mesh, f);
      if (!t) continue;
      double best = limit;
      std::int32_t owner = -1;
      for_each_point_near(grid, *t, radius, [&](std::int64_t id, const double* p) {
        const std::int32_t k = objects[static_cast<std::size_t>(id)];
        const double d = geometry::squared_distance_to_triangle({p[0], p[1], p[2]}, t->a, t->b, t->c);
        if (d < best || (d == best && (owner < 0 || k < owner))) {
          best = d;
          owner = k;
        }
      });
      if (owner >= 0) {
        out.object[f] = owner;
        out.distance[f] = std::sqrt(best);
      }
    }
  });
  return out;
}

}  // namespace quarnet::mesh
