#include "quarnet/mesh/face_bounds.hpp"

#include <cmath>

namespace quarnet::mesh {

bool all_finite(std::span<const double> values) noexcept {
  bool finite = true;
  for (const double x : values) finite &= std::isfinite(x);
  return finite;
}

void face_bounds(const IndexedMesh& mesh, std::span<double> mins, std::span<double> maxs) noexcept {
  const double* v = mesh.vertices.data();
  const std::int64_t* f = mesh.faces.data();
  const std::size_t n = mesh.face_count();
  for (std::size_t k = 0; k < n; ++k) {
    const double* a = v + 3 * f[3 * k];
    const double* b = v + 3 * f[3 * k + 1];
    const double* c = v + 3 * f[3 * k + 2];
    for (int d = 0; d < 3; ++d) {
      double lo = a[d], hi = a[d];
      lo = b[d] < lo ? b[d] : lo;
      hi = b[d] > hi ? b[d] : hi;
      lo = c[d] < lo ? c[d] : lo;
      hi = c[d] > hi ? c[d] : hi;
      mins[3 * k + d] = lo;
      maxs[3 * k + d] = hi;
    }
  }
}

std::size_t referenced_vertices(const IndexedMesh& mesh, std::span<std::uint8_t> referenced) noexcept {
  for (auto& r : referenced) r = 0;
  for (const std::int64_t id : mesh.faces) referenced[static_cast<std::size_t>(id)] = 1;
  std::size_t count = 0;
  for (const std::uint8_t r : referenced) count += r;
  return count;
}

void gather_marked_rows(std::span<const double> vertices, std::span<const std::uint8_t> marked,
                        std::span<double> out) noexcept {
  std::size_t j = 0;
  for (std::size_t v = 0; v < marked.size(); ++v) {
    if (!marked[v]) continue;
    out[3 * j] = vertices[3 * v];
    out[3 * j + 1] = vertices[3 * v + 1];
    out[3 * j + 2] = vertices[3 * v + 2];
    ++j;
  }
}

}  // namespace quarnet::mesh
