#include "quarnet/mesh/submesh_index.hpp"

#include <algorithm>
#include <cstring>

namespace quarnet::mesh {

FaceCut cut_faces(const IndexedMesh& mesh, std::span<const std::int64_t> index) {
  const std::span<const std::int64_t> faces = mesh.faces;
  const std::size_t vertex_count = mesh.vertex_count();
  FaceCut cut;
  // Marks the used vertices (0), then numbers them in ascending vertex order.
  memory::Vector<std::int64_t> renumber(vertex_count, -1);
  for (const std::int64_t f : index) {
    const std::int64_t* corner = faces.data() + 3 * f;
    renumber[static_cast<std::size_t>(corner[0])] = 0;
    renumber[static_cast<std::size_t>(corner[1])] = 0;
    renumber[static_cast<std::size_t>(corner[2])] = 0;
  }
  cut.vertices.reserve(std::min(vertex_count, 3 * index.size()));
  std::int64_t next = 0;
  for (std::size_t v = 0; v < vertex_count; ++v) {
    if (renumber[v] < 0) continue;
    renumber[v] = next++;
    cut.vertices.push_back(static_cast<std::int64_t>(v));
  }
  cut.faces.resize(3 * index.size());
  for (std::size_t k = 0; k < index.size(); ++k) {
    const std::int64_t* corner = faces.data() + 3 * index[k];
    for (int c = 0; c < 3; ++c) cut.faces[3 * k + c] = renumber[static_cast<std::size_t>(corner[c])];
  }
  return cut;
}

memory::Vector<std::int64_t> other_faces(std::size_t face_count, std::span<const std::int64_t> index) {
  memory::Vector<std::uint8_t> taken(face_count, 0);
  for (const std::int64_t f : index) taken[static_cast<std::size_t>(f)] = 1;
  memory::Vector<std::int64_t> rest;
  rest.reserve(face_count > index.size() ? face_count - index.size() : 0);
  for (std::size_t f = 0; f < face_count; ++f) {
    if (!taken[f]) rest.push_back(static_cast<std::int64_t>(f));
  }
  return rest;
}

void gather_rows(const void* src, std::size_t row_bytes, std::span<const std::int64_t> index, void* dst) noexcept {
  const auto* from = static_cast<const std::uint8_t*>(src);
  auto* to = static_cast<std::uint8_t*>(dst);
  for (std::size_t k = 0; k < index.size(); ++k) {
    std::memcpy(to + k * row_bytes, from + static_cast<std::size_t>(index[k]) * row_bytes, row_bytes);
  }
}

}  // namespace quarnet::mesh
