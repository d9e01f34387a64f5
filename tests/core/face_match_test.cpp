#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/mesh/face_match.hpp"

namespace {

using quarnet::mesh::match_faces;
using Ids = std::vector<std::int64_t>;
using Coords = std::vector<double>;

// Four triangles over five vertices at coordinates that are no float32 values.
const Coords kVertices = {0.1, 0.2, 0.3, 1.1, 0.2, 0.3, 0.1, 1.2, 0.3, 1.1, 1.2, 0.3, 2.1, 2.2, 2.3};
const Ids kFaces = {0, 1, 2, 1, 3, 2, 3, 4, 2, 0, 4, 1};

Coords as_float32(const Coords& xyz) {
  Coords out;
  for (double v : xyz) out.push_back(static_cast<float>(v));
  return out;
}

quarnet::mesh::FaceMatch match(const Coords& mv, const Ids& mf, const Coords& pv, const Ids& pf) {
  return match_faces({mv, mf}, {pv, pf});
}

TEST(FaceMatch, FindsAReindexedFloat32PartInItsOrder) {
  // faces 2 and 0 of the mesh, vertices renumbered as a sub-mesh file holds them
  const Coords part = as_float32({1.1, 1.2, 0.3, 2.1, 2.2, 2.3, 0.1, 1.2, 0.3, 0.1, 0.2, 0.3, 1.1, 0.2, 0.3});
  const auto m = match(kVertices, kFaces, part, {0, 1, 2, 3, 4, 2});
  EXPECT_EQ(m.ids, (Ids{2, 0}));
  EXPECT_EQ(m.not_found, 0u);
  // a part of doubles that are no float32 values is compared exactly
  const auto exact = match(kVertices, kFaces, Coords(kVertices), {3, 4, 2, 0, 1, 2});
  EXPECT_EQ(exact.ids, (Ids{2, 0}));
  Coords off = kVertices;
  off[0] = std::nextafter(off[0], 1.0);
  EXPECT_EQ(match(kVertices, kFaces, off, {0, 1, 2}).not_found, 1u);
}

TEST(FaceMatch, OrientationCountsNotTheStartingCorner) {
  const Coords v = as_float32(kVertices);
  EXPECT_EQ(match(kVertices, kFaces, v, {1, 2, 0, 2, 0, 1}).ids, (Ids{0}));  // rotations of face 0, once
  EXPECT_EQ(match(kVertices, kFaces, v, {1, 2, 0, 2, 0, 1}).not_found, 1u);
  EXPECT_EQ(match(kVertices, kFaces, v, {0, 2, 1}).not_found, 1u);  // reversed
}

TEST(FaceMatch, EqualFacesMatchOnceEachLowestFirst) {
  const Coords mv = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0};  // vertex 3 repeats vertex 0
  const Ids mf = {0, 1, 2, 3, 1, 2, 1, 2, 0};             // three faces with the same corners
  const Coords pv = {0, 0, 0, 1, 0, 0, 0, 1, 0};
  EXPECT_EQ(match(mv, mf, pv, {0, 1, 2}).ids, (Ids{0}));
  const auto all = match(mv, mf, pv, {0, 1, 2, 0, 1, 2, 2, 0, 1, 0, 1, 2});
  EXPECT_EQ(all.ids, (Ids{0, 1, 2}));
  EXPECT_EQ(all.not_found, 1u);
  EXPECT_EQ(all.ambiguous, 3u);  // each was one of three equal faces
  EXPECT_EQ(match(kVertices, kFaces, as_float32(kVertices), kFaces).ambiguous, 0u);
}

TEST(FaceMatch, SignedZerosAndNaNsAreEqual) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Coords mv = {0.0, nan, 1, -0.0, 2, 1, 5, 5, 5};
  const Coords pv = {-0.0, -nan, 1, 0.0, 2, 1, 5, 5, 5};
  EXPECT_EQ(match(mv, {0, 1, 2}, pv, {0, 1, 2}).ids, (Ids{0}));
}

TEST(FaceMatch, UnknownCornersAreNotFoundBadMeshesRefused) {
  const Coords v = as_float32(kVertices);
  const auto m = match(kVertices, kFaces, v, {0, 1, 7, -1, 0, 1, 0, 1, 2});
  EXPECT_EQ(m.ids, (Ids{0}));
  EXPECT_EQ(m.not_found, 2u);
  EXPECT_EQ(match(kVertices, kFaces, {9, 9, 9, 1, 0, 0, 0, 1, 0}, {0, 1, 2}).not_found, 1u);
  EXPECT_TRUE(match(kVertices, kFaces, {}, {}).ids.empty());
  EXPECT_THROW(match(kVertices, {0, 1, 5}, v, {0, 1, 2}), quarnet::ArgumentError);
  EXPECT_THROW(match(kVertices, {0, 1}, v, {0, 1, 2}), quarnet::ArgumentError);
  EXPECT_THROW(match(kVertices, kFaces, {0, 1}, {}), quarnet::ArgumentError);
}

}  // namespace

TEST(SameFaces, HoldsTheGivenFacesAtThePrecisionThePartKeeps) {
  using quarnet::mesh::same_faces;
  // faces 2 and 0 of the mesh, as a sub-mesh file holds them
  const Ids part_faces = {0, 1, 2, 3, 4, 2};
  const Coords part = {1.1, 1.2, 0.3, 2.1, 2.2, 2.3, 0.1, 1.2, 0.3, 0.1, 0.2, 0.3, 1.1, 0.2, 0.3};
  auto printed = [&](const char* format, bool as_float) {  // a text file, read back as a double or float reader does
    Coords out;
    for (double v : part) {
      char text[64];
      std::snprintf(text, sizeof text, format, as_float ? static_cast<double>(static_cast<float>(v)) : v);
      const double read = std::strtod(text, nullptr);
      out.push_back(as_float ? static_cast<double>(static_cast<float>(read)) : read);
    }
    return out;
  };
  const auto holds = [&](const Coords& pv, const Ids& pf, const Ids& ids) {
    return same_faces({pv, pf}, {kVertices, kFaces}, ids);
  };
  for (const Coords& kept : {part, as_float32(part), printed("%g", false), printed("%.8f", true), printed("%.3e", false)})
    EXPECT_TRUE(holds(kept, part_faces, {2, 0}));
  EXPECT_TRUE(holds(part, {1, 2, 0, 4, 2, 3}, {2, 0}));    // corners turned, orientation kept
  EXPECT_FALSE(holds(part, {0, 2, 1, 3, 4, 2}, {2, 0}));   // orientation flipped
  EXPECT_FALSE(holds(part, part_faces, {0, 2}));           // another order
  EXPECT_FALSE(holds(part, part_faces, {2, 0, 1}));        // another count
  EXPECT_FALSE(holds(part, part_faces, {2, 4}));           // an id out of range
  EXPECT_FALSE(holds(part, {0, 1, 9, 3, 4, 2}, {2, 0}));   // a corner out of range
  Coords off = printed("%g", false);
  off[4] += 1e-5;  // beyond the sixth digit
  EXPECT_FALSE(holds(off, part_faces, {2, 0}));
}
