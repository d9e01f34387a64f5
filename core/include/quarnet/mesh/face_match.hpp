// Finds the faces of one triangle mesh (a part, as read back from a file)
// among the faces of another, by the coordinates of their corners, or checks
// that they are given faces of it: the faces an earlier run cut out as an
// object's sub-mesh, to be removed from the working mesh when that object is
// skipped.
//
// match_faces compares corners at the precision the part keeps: when every part
// coordinate is a float32 value (trimesh writes PLY vertices as float32),
// each mesh coordinate is rounded to float32 first, as numpy's astype does;
// otherwise they are compared as doubles. Zeros of either sign are equal, so
// are NaNs. A face matches a face with the same corners in the same cyclic
// order (the same orientation, starting at any corner). Each mesh face
// matches at most once; of equal faces, the lowest ids go first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::mesh {

struct FaceMatch {
  std::vector<std::int64_t> ids;  // mesh face ids, in the order of the part faces they match
  std::size_t not_found = 0;      // part faces without a match (a corner id outside the part's vertices included)
  std::size_t ambiguous = 0;      // part faces matched among several equal mesh faces
};

// Throws ArgumentError when an array's length is not a multiple of three or
// a mesh face refers to a vertex the mesh does not have.
FaceMatch match_faces(const IndexedMesh& mesh, const IndexedMesh& part);

// Whether the part's faces are the mesh faces `ids`, one for one and in
// order (a sub-mesh cut by those ids, written and read back), each with the
// same corners in the same cyclic order, at the precision the part keeps.
// A part coordinate p keeps the mesh coordinate m when p is m or m rounded
// to float32 (a binary file of either width), or when m or its float32
// rounding lies within half a unit of the last digit that p's shortest
// decimal form shows (a text file, printed to fewer digits; the float32
// shortest form where every part coordinate is a float32 value, as a reader
// of float properties gives them). False for an id or a corner out of range.
bool same_faces(const IndexedMesh& part, const IndexedMesh& mesh, std::span<const std::int64_t> ids);

}  // namespace quarnet::mesh
