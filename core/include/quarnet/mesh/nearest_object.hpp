// Which object's points come nearest to each face of a mesh, within a radius:
// the whole-object cut, which gives an object every face its points lie
// near, however dense the mesh.
//
// A face is near a point when the exact Euclidean distance from the point to
// the triangle (its surface, edges and corners) is at most the radius. Of
// the objects with a point that near, the face goes to the one whose point
// is nearest; at an equal distance, to the lowest object number. Faces with a
// corner that is not finite, and points with a coordinate that is not, take
// no part. The result does not depend on the number of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::mesh {

struct NearestObjects {
  std::vector<std::int32_t> object;  // per face: the object number, or -1 where no point is within the radius
  std::vector<double> distance;      // per face: the distance to that object's nearest point, +inf where none
};

// points: x, y, z of every point, packed; objects: each point's object
// number (>= 0). threads: 0 for one per hardware thread. Throws
// ArgumentError for a radius that is not a positive finite number, faces
// that refer to vertices the mesh lacks, or arrays of mismatched lengths.
// Stops at check_stop() (parallel/stop.hpp), face by face.
NearestObjects nearest_objects(const IndexedMesh& mesh, std::span<const double> points,
                               std::span<const std::int32_t> objects, double radius, unsigned threads = 0);

}  // namespace quarnet::mesh
