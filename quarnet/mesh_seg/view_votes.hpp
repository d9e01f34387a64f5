// The vote (view_votes.cpp): vote_faces_to_objects, the object of every face
// of the scene mesh by the views that see it.
#pragma once

#include "host.hpp"

namespace tessaron {

// The defaults the measurements on noisy scenes chose (docs/modules.md).
inline constexpr double kDefaultMinShare = 0.5;
inline constexpr unsigned kDefaultMinViews = 3;
inline constexpr double kDefaultDepthTolerance = 0.02;

void define_view_votes(const quarnet::host::Namespace& ns);

}  // namespace tessaron
