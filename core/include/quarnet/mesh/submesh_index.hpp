// The index work of cutting faces out of an indexed triangle mesh, with the
// results numpy gives for trimesh's submesh of one face group:
//   current  = faces[index]
//   vertices = np.unique(current)              (ascending vertex ids)
//   mask[vertices] = np.arange(len(vertices)); new_faces = mask[current]
// and the faces left over, np.setdiff1d(np.arange(F), index).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnet/memory/reuse.hpp"
#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::mesh {

// The vectors' large buffers are reused while a ReuseScope is open
// (memory/reuse.hpp).
struct FaceCut {
  memory::Vector<std::int64_t> vertices;  // the vertex ids the faces use, ascending
  memory::Vector<std::int64_t> faces;     // index.size() x 3, renumbered into `vertices`
};

// The mesh's faces and `index` in range (its vertices are not read).
FaceCut cut_faces(const IndexedMesh& mesh, std::span<const std::int64_t> index);

// The face ids 0 <= f < face_count not in `index` (ids in range), ascending.
memory::Vector<std::int64_t> other_faces(std::size_t face_count, std::span<const std::int64_t> index);

// dst row k = src row index[k], rows of `row_bytes` bytes (ids in range).
void gather_rows(const void* src, std::size_t row_bytes, std::span<const std::int64_t> index, void* dst) noexcept;

}  // namespace quarnet::mesh
