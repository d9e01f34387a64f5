// How far points lie from a mesh's surface: for each point, the exact
// Euclidean distance to the nearest face (its surface, edges or corners),
// searched within a reach. One pass over the faces; the points sit in a grid
// of cells as wide as the reach, so the cost grows with the faces, not with
// faces x points, and nothing of the mesh is copied.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::mesh {

// Per point (x, y, z packed): the distance to the nearest face when some face
// lies within `reach`, +inf otherwise; +inf too for a point with a coordinate
// that is not finite. Faces with a corner that is not finite take no part.
// threads: 0 for one per hardware thread; the result does not depend on it.
// Throws ArgumentError for a reach that is not a positive finite number or
// faces that refer to vertices the mesh lacks.
std::vector<double> distances_to_surface(const IndexedMesh& mesh, std::span<const double> points, double reach,
                                         unsigned threads = 0);

}  // namespace quarnet::mesh
