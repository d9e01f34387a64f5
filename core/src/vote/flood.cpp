#include "quarnet/vote/flood.hpp"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "quarnet/errors.hpp"

namespace quarnet::vote {
namespace {

// The faces around each vertex (compressed rows).
struct VertexFaces {
  std::vector<std::size_t> start;  // V + 1
  std::vector<std::int32_t> faces;

  VertexFaces(const mesh::IndexedMesh& mesh) : start(mesh.vertex_count() + 1, 0) {
    const std::size_t n = mesh.face_count();
    auto for_each_corner = [&](auto&& visit) {
      for (std::size_t f = 0; f < n; ++f) {
        const std::int64_t* c = &mesh.faces[3 * f];
        visit(f, c[0]);
        if (c[1] != c[0]) visit(f, c[1]);
        if (c[2] != c[0] && c[2] != c[1]) visit(f, c[2]);
      }
    };
    for_each_corner([&](std::size_t, std::int64_t v) { ++start[static_cast<std::size_t>(v) + 1]; });
    for (std::size_t v = 1; v < start.size(); ++v) start[v] += start[v - 1];
    faces.resize(start.back());
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for_each_corner([&](std::size_t f, std::int64_t v) { faces[next[static_cast<std::size_t>(v)]++] = static_cast<std::int32_t>(f); });
  }
};

bool has_corner(const std::int64_t* c, std::int64_t v) { return c[0] == v || c[1] == v || c[2] == v; }

}  // namespace

void flood_undecided(const mesh::IndexedMesh& mesh, std::span<const std::uint8_t> decided, std::span<std::int32_t> owner) {
  const std::size_t n = mesh.face_count();
  if (decided.size() != n || owner.size() != n)
    throw ArgumentError("expected one value per face of the mesh's " + std::to_string(n));
  if (mesh.vertices.size() % 3 != 0 || mesh.faces.size() % 3 != 0)
    throw ArgumentError("vertex coordinates and face corners must come in threes");
  if (!mesh.faces_in_range()) throw ArgumentError("a face refers to a vertex the mesh does not have");

  const VertexFaces around(mesh);
  std::vector<std::uint8_t> visited(n, 0);
  std::vector<std::int32_t> region;
  std::vector<std::pair<std::int32_t, std::size_t>> border;  // (owner, edges) of the decided faces around the region
  for (std::size_t s = 0; s < n; ++s) {
    if (decided[s] || visited[s]) continue;
    region.assign(1, static_cast<std::int32_t>(s));
    visited[s] = 1;
    border.clear();
    for (std::size_t i = 0; i < region.size(); ++i) {
      const std::int64_t* c = &mesh.faces[3 * static_cast<std::size_t>(region[i])];
      for (int e = 0; e < 3; ++e) {
        const std::int64_t a = c[e], b = c[(e + 1) % 3];
        if (a == b) continue;
        const auto v = static_cast<std::size_t>(a);
        for (std::size_t j = around.start[v]; j < around.start[v + 1]; ++j) {
          const std::int32_t g = around.faces[j];
          if (g == region[i] || !has_corner(&mesh.faces[3 * static_cast<std::size_t>(g)], b)) continue;
          if (!decided[g]) {
            if (!visited[g]) {
              visited[g] = 1;
              region.push_back(g);
            }
          } else {
            const std::int32_t k = owner[g] < 0 ? -1 : owner[g];
            auto it = std::find_if(border.begin(), border.end(), [&](const auto& entry) { return entry.first == k; });
            if (it == border.end()) border.emplace_back(k, 1); else ++it->second;
          }
        }
      }
    }
    std::size_t total = 0;
    for (const auto& entry : border) total += entry.second;
    for (const auto& [k, edges] : border) {
      if (k < 0 || static_cast<double>(edges) < kEnclosure * static_cast<double>(total)) continue;
      for (const std::int32_t f : region) owner[static_cast<std::size_t>(f)] = k;
    }
  }
}

}  // namespace quarnet::vote
