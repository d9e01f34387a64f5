#include "quarnet/vote/face_votes.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/parallel/run_tasks.hpp"
#include "quarnet/vote/flood.hpp"

namespace quarnet::vote {
namespace {

constexpr std::size_t kFacesPerTask = 1 << 16;

unsigned workers(unsigned threads) { return threads == 0 ? parallel::hardware_threads() : threads; }


// Pixel offsets nearer than kRimPixels, nearest first, with their distances.
struct Offset {
  int dx, dy;
  float distance;
};

std::vector<Offset> rim_offsets() {
  std::vector<Offset> out;
  const int r = static_cast<int>(kRimPixels);
  for (int dy = -r; dy <= r; ++dy)
    for (int dx = -r; dx <= r; ++dx) {
      const double d = std::sqrt(double(dx * dx + dy * dy));
      if (d > 0 && d < kRimPixels) out.push_back({dx, dy, static_cast<float>(d)});
    }
  std::stable_sort(out.begin(), out.end(), [](const Offset& a, const Offset& b) { return a.distance < b.distance; });
  return out;
}

// min(1, d / kRimPixels) for the covered pixel (x, y) of `mask`, d its
// distance to the nearest pixel outside the mask within the image.
float depth_inside(std::span<const std::uint8_t> mask, std::size_t width, std::size_t height, std::size_t x,
                   std::size_t y, const std::vector<Offset>& offsets) {
  for (const Offset& o : offsets) {
    const auto u = static_cast<std::ptrdiff_t>(x) + o.dx, v = static_cast<std::ptrdiff_t>(y) + o.dy;
    if (u < 0 || v < 0 || u >= static_cast<std::ptrdiff_t>(width) || v >= static_cast<std::ptrdiff_t>(height)) continue;
    if (mask[static_cast<std::size_t>(v) * width + static_cast<std::size_t>(u)] == 0)
      return static_cast<float>(o.distance / kRimPixels);
  }
  return 1.0f;
}

}  // namespace

FaceVotes::FaceVotes(std::size_t faces, std::size_t objects) : objects_(objects) {
  if (faces > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    throw ArgumentError("too many faces for the vote: " + std::to_string(faces));
  if (objects != 0 && faces > std::numeric_limits<std::size_t>::max() / objects / sizeof(float))
    throw ArgumentError("too many faces and objects for the vote");
  views_.assign(faces, 0);
  pixels_.assign(faces, 0);
  last_view_.assign(faces, 0);
  votes_.assign(faces * objects, 0.0f);
}

void FaceVotes::add(const View& view, unsigned threads) {
  const std::size_t pixels = view.face.size(), faces = views_.size(), width = view.width;
  if (width == 0 ? pixels != 0 : pixels % width != 0)
    throw ArgumentError("a view of " + std::to_string(pixels) + " pixels is no whole number of rows of " +
                        std::to_string(width));
  const std::size_t height = width == 0 ? 0 : pixels / width;
  if (view.masks.size() > objects_)
    throw ArgumentError("masks for " + std::to_string(view.masks.size()) + " objects, the vote has " +
                        std::to_string(objects_));
  for (const auto& mask : view.masks)
    if (!mask.empty() && mask.size() != pixels)
      throw ArgumentError("a mask of " + std::to_string(mask.size()) + " pixels in a view of " + std::to_string(pixels));
  for (const std::int32_t f : view.face)
    if (f >= 0 && static_cast<std::size_t>(f) >= faces)
      throw ArgumentError("a pixel sees face " + std::to_string(f) + " of a mesh of " + std::to_string(faces));

  ++view_;
  for (const std::int32_t f : view.face) {
    if (f < 0) continue;
    const auto i = static_cast<std::size_t>(f);
    ++pixels_[i];
    if (last_view_[i] != view_) {
      last_view_[i] = view_;
      ++views_[i];
    }
  }

  // Where several masks cover a pixel, each votes by its depth inside.
  std::vector<std::size_t> with_mask;
  for (std::size_t k = 0; k < view.masks.size(); ++k)
    if (!view.masks[k].empty()) with_mask.push_back(k);
  std::vector<std::uint8_t> covering(with_mask.size() > 1 ? pixels : 0, 0);
  if (!covering.empty())
    for (const std::size_t k : with_mask)
      for (std::size_t p = 0; p < pixels; ++p) covering[p] += view.masks[k][p] != 0 && covering[p] < 2;
  static const std::vector<Offset> offsets = rim_offsets();

  const unsigned n = std::max(1u, std::min<unsigned>(workers(threads), static_cast<unsigned>(with_mask.size())));
  parallel::run_tasks(with_mask.size(), n, [&](std::size_t task, unsigned) {
    const std::size_t k = with_mask[task];
    const std::span<const std::uint8_t> mask = view.masks[k];
    for (std::size_t p = 0; p < pixels; ++p) {
      const std::int32_t f = view.face[p];
      if (f < 0 || mask[p] == 0) continue;
      const float weight = !covering.empty() && covering[p] > 1
                               ? depth_inside(mask, width, height, p % width, p / width, offsets)
                               : 1.0f;
      votes_[static_cast<std::size_t>(f) * objects_ + k] += weight;
    }
  });
}

void check_rule(const Rule& rule) {
  if (!(rule.min_share > 0 && rule.min_share <= 1))
    throw ArgumentError("the share must lie in (0, 1], got " + std::to_string(rule.min_share));
  if (rule.min_views < 1) throw ArgumentError("the least number of views must be at least 1");
}

std::vector<std::int32_t> vote_owners(const FaceVotes& votes, const Rule& rule, std::vector<std::uint8_t>& decided) {
  check_rule(rule);
  const std::size_t faces = votes.face_count(), objects = votes.object_count();
  std::vector<std::int32_t> owner(faces, -1);
  decided.assign(faces, 0);
  const std::size_t tasks = (faces + kFacesPerTask - 1) / kFacesPerTask;
  parallel::run_tasks(tasks, workers(0), [&](std::size_t task, unsigned) {
    const std::size_t end = std::min(faces, (task + 1) * kFacesPerTask);
    for (std::size_t f = task * kFacesPerTask; f < end; ++f) {
      if (votes.views(f) < rule.min_views) continue;
      double best = 0, second = 0;
      std::size_t best_k = objects;
      for (std::size_t k = 0; k < objects; ++k) {
        const double v = votes.votes(f, k);
        if (v > best) {
          second = best;
          best = v;
          best_k = k;
        } else if (v > second) {
          second = v;
        }
      }
      decided[f] = !(best > 0 && second >= kContested * best);
      if (best_k < objects && best / votes.pixels(f) >= rule.min_share) owner[f] = static_cast<std::int32_t>(best_k);
    }
  });
  return owner;
}

void reject_disagreeing(std::span<std::int32_t> face, std::span<const float> hit, std::span<const float> depth,
                        double tolerance) {
  if (hit.size() != face.size() || depth.size() != face.size())
    throw ArgumentError("the hits, the depth map and the faces must have one value per pixel");
  if (!(tolerance >= 0)) throw ArgumentError("the depth tolerance must not be negative");
  for (std::size_t p = 0; p < face.size(); ++p) {
    const double d = depth[p];
    if (face[p] < 0 || !(d > 0) || !std::isfinite(d)) continue;
    if (!(std::abs(static_cast<double>(hit[p]) - d) <= tolerance * d)) face[p] = -1;
  }
}

std::vector<std::int32_t> face_owners(const mesh::IndexedMesh& mesh, const FaceVotes& votes, const Rule& rule) {
  if (mesh.face_count() != votes.face_count())
    throw ArgumentError("the votes are for " + std::to_string(votes.face_count()) + " faces, the mesh has " +
                        std::to_string(mesh.face_count()));
  std::vector<std::uint8_t> decided;
  std::vector<std::int32_t> owner = vote_owners(votes, rule, decided);
  flood_undecided(mesh, decided, owner);
  return owner;
}

}  // namespace quarnet::vote
