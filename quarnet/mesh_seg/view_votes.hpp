// The vote (view_votes.cpp): vote_faces_to_objects, the object of every face
// of the scene mesh by the views that see it; and the segmentation by it
// (vote_cut.cpp): seg_scene_mesh_vote and the command's _cut_vote.
#pragma once

#include "host.hpp"

namespace tessaron {

// The defaults the measurements on noisy scenes chose (docs/modules.md).
inline constexpr double kDefaultMinShare = 0.5;
inline constexpr unsigned kDefaultMinViews = 3;
inline constexpr double kDefaultDepthTolerance = 0.02;

// ValueError for settings the vote refuses: min_share outside (0, 1],
// min_views no whole number from 1 to 1000000, a negative depth_tolerance.
void check_vote_settings(const pybind11::object& min_share, const pybind11::object& min_views,
                         const pybind11::object& depth_tolerance);

void define_view_votes(const quarnet::host::Namespace& ns);
void define_vote_cut(const quarnet::host::Namespace& ns);

}  // namespace tessaron
