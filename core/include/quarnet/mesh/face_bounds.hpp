// Per-face axis-aligned bounds of an indexed triangle mesh: for face f with
// corners a, b, c (rows of the vertex array), min and max of the three per
// coordinate, as np.column_stack((tri.min(axis=1), tri.max(axis=1))) gives
// them for tri = vertices[faces].
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::mesh {

// True when every coordinate is finite.
bool all_finite(std::span<const double> values) noexcept;

// Writes the F x 3 lower and upper corners of every face's box. The faces
// must be in range. Bounds are exact (min and max round nothing).
void face_bounds(const IndexedMesh& mesh, std::span<double> mins, std::span<double> maxs) noexcept;

// referenced[v] = 1 where some face uses vertex v (mesh.referenced_vertices),
// and the rows of the vertices so marked, in vertex order.
std::size_t referenced_vertices(const IndexedMesh& mesh, std::span<std::uint8_t> referenced) noexcept;
void gather_marked_rows(std::span<const double> vertices, std::span<const std::uint8_t> marked, std::span<double> out) noexcept;

}  // namespace quarnet::mesh
