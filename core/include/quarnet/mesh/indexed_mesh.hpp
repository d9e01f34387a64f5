// A triangle mesh as the core reads it: packed row-major views of its vertex
// coordinates (V x 3 doubles) and its faces (F x 3 vertex ids), and the one
// check that ids lie in range, for faces' corners and for face lists alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarnet::mesh {

// The position of the first id outside 0 <= id < bound (no wrap-around), or
// none when all lie inside.
std::optional<std::size_t> first_out_of_range(std::span<const std::int64_t> ids, std::size_t bound) noexcept;

inline bool ids_in_range(std::span<const std::int64_t> ids, std::size_t bound) noexcept {
  return !first_out_of_range(ids, bound);
}

struct IndexedMesh {
  std::span<const double> vertices;     // 3 V
  std::span<const std::int64_t> faces;  // 3 F
  std::size_t vertex_count() const noexcept { return vertices.size() / 3; }
  std::size_t face_count() const noexcept { return faces.size() / 3; }
  // True when every face refers to vertices the mesh has.
  bool faces_in_range() const noexcept { return ids_in_range(faces, vertex_count()); }
};

}  // namespace quarnet::mesh
