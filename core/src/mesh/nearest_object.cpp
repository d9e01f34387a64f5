#include "quarnet/mesh/nearest_object.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/geometry/point_triangle.hpp"
#include "quarnet/parallel/run_tasks.hpp"
#include "quarnet/parallel/stop.hpp"
#include "quarnet/spatial/point_grid.hpp"

namespace quarnet::mesh {
namespace {

using geometry::Vec3;

constexpr std::size_t kFacesPerTask = 2048;

Vec3 corner(const IndexedMesh& mesh, std::int64_t vertex) {
  const double* v = &mesh.vertices[3 * static_cast<std::size_t>(vertex)];
  return {v[0], v[1], v[2]};
}

bool finite(const Vec3& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

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
      parallel::check_stop();  // a face near very many points can take long
      const Vec3 a = corner(mesh, mesh.faces[3 * f]), b = corner(mesh, mesh.faces[3 * f + 1]),
                 c = corner(mesh, mesh.faces[3 * f + 2]);
      if (!(finite(a) && finite(b) && finite(c))) continue;
      const double lo[3] = {std::min({a.x, b.x, c.x}) - radius, std::min({a.y, b.y, c.y}) - radius,
                            std::min({a.z, b.z, c.z}) - radius};
      const double hi[3] = {std::max({a.x, b.x, c.x}) + radius, std::max({a.y, b.y, c.y}) + radius,
                            std::max({a.z, b.z, c.z}) + radius};
      double best = limit;
      std::int32_t owner = -1;
      grid.for_each_near_box(lo, hi, [&](std::int64_t id, const double* p) {
        // Outside the face's box grown by the radius, a point is too far.
        if (p[0] < lo[0] || p[0] > hi[0] || p[1] < lo[1] || p[1] > hi[1] || p[2] < lo[2] || p[2] > hi[2]) return;
        const std::int32_t k = objects[static_cast<std::size_t>(id)];
        const double d = geometry::squared_distance_to_triangle({p[0], p[1], p[2]}, a, b, c);
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
