// The votes of the views on which object each face of a mesh belongs to.
//
// A view sees a face through each pixel whose ray meets that face first.
// Each such pixel votes for every object whose mask covers it: with weight 1
// where one mask covers it; where several do (bleeding masks overlap at
// their outlines), each with the pixel's depth inside that mask,
// min(1, d / kRimPixels) for d the distance in pixels to the nearest pixel
// outside the mask (outside the image counts as inside). A face's share of
// an object is the sum of the object's votes over every pixel of every view
// that sees the face, divided by the number of those pixels: so a large
// face seen in full by some views and as a sliver beside an object by
// others is judged by all its pixels, not by its slivers.
//
// The rule: a face seen in at least `min_views` views goes to the object of
// the highest share, the lowest object number at a tie, if that share is at
// least `min_share`; otherwise to no object. Two kinds of faces are left to
// the flood (flood.hpp), which gives them the object that encloses them:
// faces seen in fewer views (none where the flood finds no such object), and
// contested faces, where another object's share reaches kContested of the
// highest (the rule's object where the flood finds none).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::vote {

inline constexpr double kRimPixels = 4;
inline constexpr double kContested = 0.5;

// One view of `width` pixels per row: per pixel, row by row, the face its
// ray meets first (negative for none), and per object its mask over the
// same pixels (nonzero: covered; empty: no mask in this view).
struct View {
  std::span<const std::int32_t> face;
  std::size_t width;
  std::span<const std::span<const std::uint8_t>> masks;
};

class FaceVotes {
 public:
  // Throws ArgumentError for more faces than an int32 counts or a tally too large to index.
  FaceVotes(std::size_t faces, std::size_t objects);

  // Adds one view. Throws ArgumentError, before counting anything, for a
  // face id outside the mesh, a width that does not divide the pixels, a
  // mask of another pixel count or masks for more objects than the tally.
  // threads: 0 for one per hardware thread; the result does not depend on it.
  void add(const View& view, unsigned threads = 0);

  std::size_t face_count() const noexcept { return views_.size(); }
  std::size_t object_count() const noexcept { return objects_; }
  // The views that see face f, the pixels that do, and object k's votes among them.
  std::uint32_t views(std::size_t f) const noexcept { return views_[f]; }
  std::uint32_t pixels(std::size_t f) const noexcept { return pixels_[f]; }
  float votes(std::size_t f, std::size_t k) const noexcept { return votes_[f * objects_ + k]; }

 private:
  std::size_t objects_;
  std::uint32_t view_ = 0;  // views added
  std::vector<std::uint32_t> views_, pixels_, last_view_;
  std::vector<float> votes_;  // faces x objects
};

struct Rule {
  double min_share;    // in (0, 1]
  unsigned min_views;  // >= 1
};

// Throws ArgumentError unless 0 < min_share <= 1 and min_views >= 1.
void check_rule(const Rule& rule);

// Per face: the object by the rule, -1 for none. `decided` (one per face) is
// set to 1 for faces seen in at least min_views views and not contested.
std::vector<std::int32_t> vote_owners(const FaceVotes& votes, const Rule& rule, std::vector<std::uint8_t>& decided);

// Pixels whose depth map disagrees with the mesh see nothing: face[p] = -1
// where depth[p] is a depth (finite, > 0) and |hit[p] - depth[p]| exceeds
// tolerance * depth[p]. hit: the depth of the mesh along each pixel's ray.
void reject_disagreeing(std::span<std::int32_t> face, std::span<const float> hit, std::span<const float> depth,
                        double tolerance);

// The owner of every face of `mesh` from the views' votes and the flood
// over the faces they leave undecided.
std::vector<std::int32_t> face_owners(const mesh::IndexedMesh& mesh, const FaceVotes& votes, const Rule& rule);

}  // namespace quarnet::vote
