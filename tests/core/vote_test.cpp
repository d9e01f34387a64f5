#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/vote/face_votes.hpp"
#include "quarnet/vote/flood.hpp"

namespace {

using quarnet::ArgumentError;
using quarnet::mesh::IndexedMesh;
using namespace quarnet::vote;

using Mask = std::vector<std::uint8_t>;

void add(FaceVotes& votes, const std::vector<std::int32_t>& face, std::size_t width, const std::vector<Mask>& masks,
         unsigned threads = 0) {
  std::vector<std::span<const std::uint8_t>> spans(masks.begin(), masks.end());
  votes.add({face, width, spans}, threads);
}

TEST(FaceVotes, SharesOfThePixelsThatSeeEachFace) {
  FaceVotes votes(3, 2);
  // View 1, one row: face 0 under three pixels, object 0's mask covers two;
  // face 1 under one pixel covered by object 1; face 2 unseen.
  add(votes, {0, 0, 0, 1, -1}, 5, {{1, 1, 0, 0, 9}, {0, 0, 0, 255, 0}});
  // View 2: object 1 has no mask; face 1 under two pixels, one covered by object 0.
  add(votes, {1, 1, 0, -1, -1}, 5, {{0, 7, 0, 1, 1}, {}});
  EXPECT_EQ(votes.views(0), 2u);
  EXPECT_EQ(votes.pixels(0), 4u);
  EXPECT_EQ(votes.views(1), 2u);
  EXPECT_EQ(votes.pixels(1), 3u);
  EXPECT_EQ(votes.views(2), 0u);
  EXPECT_EQ(votes.votes(0, 0), 2.0f);
  EXPECT_EQ(votes.votes(0, 1), 0.0f);
  EXPECT_EQ(votes.votes(1, 0), 1.0f);
  EXPECT_EQ(votes.votes(1, 1), 1.0f);

  std::vector<std::uint8_t> decided;
  // face 0: object 0 with 2 of 4 pixels; face 1: 1 of 3 pixels each, contested,
  // the lower object its owner should the flood find none.
  EXPECT_EQ(vote_owners(votes, {0.3, 1}, decided), (std::vector<std::int32_t>{0, 0, -1}));
  EXPECT_EQ(decided, (std::vector<std::uint8_t>{1, 0, 0}));
  EXPECT_EQ(vote_owners(votes, {0.4, 1}, decided), (std::vector<std::int32_t>{0, -1, -1}));
  EXPECT_EQ(vote_owners(votes, {0.3, 3}, decided), (std::vector<std::int32_t>{-1, -1, -1}));
  EXPECT_EQ(decided, (std::vector<std::uint8_t>{0, 0, 0}));
}

TEST(FaceVotes, WhereMasksOverlapEachVotesByItsDepthInside) {
  // A 9 x 1 view of face 0: object 0 covers pixels 0..7, object 1 pixels 5..8.
  FaceVotes votes(1, 2);
  const std::vector<std::int32_t> face(9, 0);
  add(votes, face, 9, {{1, 1, 1, 1, 1, 1, 1, 1, 0}, {0, 0, 0, 0, 0, 1, 1, 1, 1}});
  // Object 0: pixels 0..4 alone (5), pixels 5, 6, 7 at 3, 2, 1 px from its outline (0.75 + 0.5 + 0.25);
  // object 1: pixel 8 alone (1), pixels 5, 6, 7 at 1, 2, 3 px from its outline (the image's edge is no outline).
  EXPECT_FLOAT_EQ(votes.votes(0, 0), 6.5f);
  EXPECT_FLOAT_EQ(votes.votes(0, 1), 2.5f);
  // Pixels two rows deep measure the nearest outside pixel in the plane.
  FaceVotes square(1, 2);
  Mask a(25, 1), b(25, 0);
  b[12] = 1;  // the centre pixel of a 5 x 5 view, also in a mask filling the view
  add(square, std::vector<std::int32_t>(25, 0), 5, {a, b});
  EXPECT_FLOAT_EQ(square.votes(0, 0), 25.0f);  // nothing outside mask a
  EXPECT_FLOAT_EQ(square.votes(0, 1), 0.25f);  // the centre's neighbours lie outside mask b
}

TEST(FaceVotes, ThreadsDoNotChangeTheTally) {
  std::mt19937 rng(7);
  const std::size_t faces = 500, objects = 5, width = 80, pixels = 4000;
  FaceVotes one(faces, objects), many(faces, objects);
  for (int v = 0; v < 6; ++v) {
    std::vector<std::int32_t> face(pixels);
    for (auto& f : face) f = static_cast<std::int32_t>(rng() % (faces + 100)) - 100;
    std::vector<Mask> masks(objects);
    for (std::size_t k = 0; k < objects; ++k) {
      if ((v + k) % 4 == 0) continue;  // no mask of this object in this view
      masks[k].resize(pixels);
      for (auto& m : masks[k]) m = rng() % 3 == 0 ? 0 : 255;
    }
    add(one, face, width, masks, 1);
    add(many, face, width, masks, 4);
  }
  for (std::size_t f = 0; f < faces; ++f) {
    ASSERT_EQ(one.views(f), many.views(f));
    for (std::size_t k = 0; k < objects; ++k) ASSERT_EQ(one.votes(f, k), many.votes(f, k));
  }
}

TEST(FaceVotes, BadInputIsRefused) {
  FaceVotes votes(2, 1);
  EXPECT_THROW(add(votes, {0, 2}, 2, {}), ArgumentError);                 // a face the mesh lacks
  EXPECT_THROW(add(votes, {0, 1}, 2, {{1}}), ArgumentError);              // a mask of another size
  EXPECT_THROW(add(votes, {0, 1}, 2, {{1, 1}, {1, 1}}), ArgumentError);  // more objects than the tally
  EXPECT_THROW(add(votes, {0, 1, 1}, 2, {}), ArgumentError);              // no whole rows
  EXPECT_EQ(votes.views(0), 0u);                                          // nothing counted on the way
  std::vector<std::uint8_t> decided;
  for (const Rule bad : {Rule{0, 1}, Rule{1.5, 1}, Rule{0.5, 0}}) EXPECT_THROW(vote_owners(votes, bad, decided), ArgumentError);
}

TEST(RejectDisagreeing, OnlyPixelsWithADepthThatDiffers) {
  std::vector<std::int32_t> face{0, 1, 2, 3, 4, -1};
  const std::vector<float> hit{1.0f, 1.0f, 1.0f, 2.0f, 2.0f, 1.0f};
  const std::vector<float> depth{1.01f, 1.03f, 0.0f, std::numeric_limits<float>::quiet_NaN(), 1.0f, 5.0f};
  reject_disagreeing(face, hit, depth, 0.02);
  EXPECT_EQ(face, (std::vector<std::int32_t>{0, -1, 2, 3, -1, -1}));
}

// A strip of n quads, two triangles each, in a row: faces 2q and 2q + 1
// make quad q, and each face shares an edge with the next.
struct Strip {
  std::vector<double> vertices;
  std::vector<std::int64_t> faces;
  explicit Strip(int n) {
    for (int i = 0; i <= n; ++i)
      for (int j = 0; j < 2; ++j) vertices.insert(vertices.end(), {double(i), double(j), 0});
    for (int i = 0; i < n; ++i) {
      const std::int64_t a = 2 * i, b = 2 * i + 1, c = 2 * i + 3, d = 2 * i + 2;
      faces.insert(faces.end(), {a, c, b, a, d, c});  // left half, then right half
    }
  }
  IndexedMesh view() const { return {vertices, faces}; }
};

TEST(Flood, UndecidedRegionsTakeTheObjectThatHoldsMostOfTheirBorder) {
  const Strip strip(8);  // 16 faces in a row
  struct Case {
    const char* decided;  // per face: '1' decided
    std::vector<std::int32_t> owner;
    std::vector<std::int32_t> expected;
  } cases[] = {
      // enclosed by object 2
      {"1100011111111111", {2, 2, -1, 7, -1, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2}, std::vector<std::int32_t>(16, 2)},
      // between objects 1 and 2 (half each), and between object 2 and no object: undecided faces keep their owners
      {"1001101111111111", {1, 7, -1, 2, 2, 7, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
       {1, 7, -1, 2, 2, 7, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1}},
      // at the end of the strip, bordered by object 0 only
      {"1111111111111000", {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, -1, 4, -1},
       {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 0, 0, 0, 0}},
      // nothing decided at all
      {"0000000000000000", std::vector<std::int32_t>(16, 3), std::vector<std::int32_t>(16, 3)},
  };
  for (const auto& c : cases) {
    std::vector<std::int32_t> owner = c.owner;
    std::vector<std::uint8_t> decided(16);
    for (std::size_t f = 0; f < 16; ++f) decided[f] = c.decided[f] == '1';
    flood_undecided(strip.view(), decided, owner);
    EXPECT_EQ(owner, c.expected) << c.decided;
  }
  std::vector<std::int32_t> owner(15);
  std::vector<std::uint8_t> decided(16);
  EXPECT_THROW(flood_undecided(strip.view(), decided, owner), ArgumentError);
}

TEST(Flood, AMajorityOfTheBorderIsNotEnoughBelowItsShare) {
  // 3 x 3 quads, each split along its diagonal into faces 2q and 2q + 1 (q = 3 j + i):
  // the middle quad (faces 8, 9) meets one face of each of the four quads beside it.
  std::vector<double> vertices;
  std::vector<std::int64_t> faces;
  for (int j = 0; j <= 3; ++j)
    for (int i = 0; i <= 3; ++i) vertices.insert(vertices.end(), {double(i), double(j), 0});
  for (int j = 0; j < 3; ++j)
    for (int i = 0; i < 3; ++i) {
      const std::int64_t a = 4 * j + i, b = a + 1, c = a + 5, d = a + 4;
      faces.insert(faces.end(), {a, b, c, a, c, d});
    }
  const IndexedMesh grid{vertices, faces};
  // labels of the quads below, right of, above and left of the middle one
  for (const auto& [around, expected] : std::vector<std::pair<std::vector<std::int32_t>, std::int32_t>>{
           {{3, 3, 3, 5}, 3}, {{3, 3, 3, -1}, 3}, {{3, 3, 5, 5}, -1}, {{3, 3, -1, -1}, -1}, {{3, 5, 7, -1}, -1}}) {
    std::vector<std::int32_t> owner(18, 0);
    owner[8] = owner[9] = -1;
    const int quad[4] = {1, 5, 7, 3};
    for (int n = 0; n < 4; ++n) owner[2 * quad[n]] = owner[2 * quad[n] + 1] = around[n];
    std::vector<std::uint8_t> decided(18, 1);
    decided[8] = decided[9] = 0;
    flood_undecided(grid, decided, owner);
    EXPECT_EQ(owner[8], expected);
    EXPECT_EQ(owner[9], expected);
  }
}

TEST(FaceOwners, VotesThenFlood) {
  const Strip strip(2);  // faces 0..3 in a row
  FaceVotes votes(4, 1);
  // faces 0, 1 and 3 seen twice and covered; face 2 seen once (undecided), enclosed.
  add(votes, {0, 1, 2, 3}, 4, {{1, 1, 1, 1}});
  add(votes, {0, 1, 3, -1}, 4, {{1, 1, 1, 0}});
  EXPECT_EQ(face_owners(strip.view(), votes, {0.5, 2}), (std::vector<std::int32_t>{0, 0, 0, 0}));
  EXPECT_THROW(face_owners(Strip(3).view(), votes, {0.5, 2}), ArgumentError);
}

}  // namespace
