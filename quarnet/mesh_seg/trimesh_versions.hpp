// What the native doubles of trimesh's calls need to know about the
// libraries installed: whether their versions are ones the doubles are proven
// against, and the libspatialindex that the rtree package uses.
#pragma once

#include "quarnet/spatial/box_tree.hpp"
#include "tessaron.hpp"

namespace tessaron {

// trimesh and rtree are at versions the differential tests cover.
bool trimesh_covered();

// The C API of the libspatialindex copy the rtree package has loaded (at a
// covered version), or null where there is none.
const quarnet::spatial::SpatialIndexApi* rtree_spatial_index();

}  // namespace tessaron
