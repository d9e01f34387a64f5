// Faces the views leave undecided (unseen undersides, the inside of a
// handle, faces too small for most views' pixels) take the object that
// encloses them.
//
// Faces are connected where they share an edge (two vertex ids). A connected
// region of undecided faces goes to the object that holds at least
// kEnclosure of its border: of the edges between its faces and decided
// faces, counted once per decided face across the edge. The faces of a
// region with no such object, or no decided face around it, keep the owner
// they came with.
#pragma once

#include <cstdint>
#include <span>

#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::vote {

inline constexpr double kEnclosure = 0.6;

// owner: one per face, the decided faces' objects (-1: none) and the
// undecided faces' owners where no object encloses them. decided: one per
// face, nonzero for decided faces. Throws ArgumentError for lengths that do not match the
// mesh or faces that refer to vertices the mesh lacks.
void flood_undecided(const mesh::IndexedMesh& mesh, std::span<const std::uint8_t> decided,
                     std::span<std::int32_t> owner);

}  // namespace quarnet::vote
