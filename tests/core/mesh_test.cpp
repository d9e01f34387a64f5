#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "quarnet/mesh/face_bounds.hpp"
#include "quarnet/mesh/face_ids.hpp"
#include "quarnet/mesh/submesh_index.hpp"

namespace {

using quarnet::mesh::FaceIdCollector;
using quarnet::mesh::unique_in_order;
using Ids = std::vector<std::int64_t>;

Ids iota(std::int64_t first, std::size_t n) {
  Ids v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

// Groups of 35, 3, 0 and 2 ids (the last repeating earlier ones): the head
// of each, in order, repeats kept.
TEST(FaceIdCollector, KeepsTheHeadOfEachGroupInOrder) {
  FaceIdCollector c;
  const Ids big = iota(100, 35);
  Ids expected(big.begin(), big.begin() + 20);
  expected.insert(expected.end(), {7, 3, 5, 7, 100});
  for (const Ids& group : {big, Ids{7, 3, 5}, Ids{}, Ids{7, 100}}) {
    const auto room = c.append_group(group.size());
    ASSERT_EQ(room.size(), std::min<std::size_t>(group.size(), 20));
    std::copy_n(group.begin(), room.size(), room.begin());
  }
  EXPECT_EQ(c.ids(), expected);
  FaceIdCollector two(2);
  EXPECT_EQ(two.append_group(5).size(), 2u);
  EXPECT_EQ(two.append_group(1).size(), 1u);
}

TEST(UniqueInOrder, KeepsFirstAppearances) {
  EXPECT_EQ(unique_in_order(Ids{}), Ids{});
  EXPECT_EQ(unique_in_order(Ids{5, 3, 5, 1, 3, 3, 0}), (Ids{5, 3, 1, 0}));
  EXPECT_EQ(unique_in_order(Ids{-2, 7, -2, -9}), (Ids{-2, 7, -9}));
}

TEST(UniqueInOrder, SparseAndExtremeValuesTakeTheHashPath) {
  constexpr auto lo = std::numeric_limits<std::int64_t>::min();
  constexpr auto hi = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(unique_in_order(Ids{hi, lo, 0, hi, lo, 1}), (Ids{hi, lo, 0, 1}));
  EXPECT_EQ(unique_in_order(Ids{1'000'000'000'000, 2, 1'000'000'000'000}), (Ids{1'000'000'000'000, 2}));
}

TEST(UniqueInOrder, DenseListOfManyRepeats) {
  Ids ids;
  for (int round = 0; round < 10; ++round)
    for (std::int64_t f = 999; f >= 0; --f) ids.push_back(f);
  const Ids once = unique_in_order(ids);
  ASSERT_EQ(once.size(), 1000u);
  EXPECT_EQ(once.front(), 999);
  EXPECT_EQ(once.back(), 0);
}

// Two triangles over five vertices; vertex 4 is used by no face.
const std::vector<double> kVertices{0, 0, 0, 2, -1, 5, 1, 3, -4, -7, 0.5, 1, 9, 9, 9};
const Ids kFaces{0, 1, 2, 3, 0, 1};

TEST(FaceBounds, MinAndMaxOfTheCornersPerCoordinate) {
  const quarnet::mesh::IndexedMesh m{kVertices, kFaces};
  ASSERT_TRUE(m.faces_in_range());
  std::vector<double> lo(6), hi(6);
  quarnet::mesh::face_bounds(m, lo, hi);
  EXPECT_EQ(lo, (std::vector<double>{0, -1, -4, -7, -1, 0}));
  EXPECT_EQ(hi, (std::vector<double>{2, 3, 5, 2, 0.5, 5}));

  std::vector<std::uint8_t> used(5);
  EXPECT_EQ(quarnet::mesh::referenced_vertices(m, used), 4u);
  std::vector<double> rows(12);
  quarnet::mesh::gather_marked_rows(kVertices, used, rows);
  EXPECT_EQ(rows, std::vector<double>(kVertices.begin(), kVertices.begin() + 12));

  EXPECT_FALSE(quarnet::mesh::all_finite(std::vector<double>{1, std::numeric_limits<double>::quiet_NaN()}));
  EXPECT_FALSE(quarnet::mesh::all_finite(std::vector<double>{std::numeric_limits<double>::infinity()}));
}

TEST(IndexedMesh, TheFirstIdOutOfRange) {
  using quarnet::mesh::first_out_of_range;
  for (const std::int64_t bad : {std::int64_t{-1}, std::int64_t{5}}) {
    Ids faces = kFaces;
    faces[4] = bad;
    EXPECT_FALSE((quarnet::mesh::IndexedMesh{kVertices, faces}.faces_in_range()));
    EXPECT_EQ(first_out_of_range(faces, 5), 4u);
  }
  EXPECT_EQ(first_out_of_range(Ids{0, 5}, 6), std::nullopt);
  EXPECT_EQ(first_out_of_range(Ids{0, 6, -1}, 6), 1u);
  EXPECT_EQ(first_out_of_range(Ids{0}, 0), 0u);
  EXPECT_TRUE(quarnet::mesh::ids_in_range(Ids{}, 0));
}

TEST(FaceCut, UsedVerticesAscendingAndFacesRenumbered) {
  using quarnet::mesh::IndexedMesh;
  const auto as_ids = [](const auto& v) { return Ids(v.begin(), v.end()); };
  // faces[index] = [[3, 0, 1], [0, 1, 2]] -> vertices 0 1 2 3 -> same numbers
  auto cut = quarnet::mesh::cut_faces(IndexedMesh{kVertices, kFaces}, Ids{1, 0, 1});
  EXPECT_EQ(as_ids(cut.vertices), (Ids{0, 1, 2, 3}));
  EXPECT_EQ(as_ids(cut.faces), (Ids{3, 0, 1, 0, 1, 2, 3, 0, 1}));
  const Ids faces{4, 2, 4, 1, 3, 2};
  cut = quarnet::mesh::cut_faces(IndexedMesh{kVertices, faces}, Ids{1});
  EXPECT_EQ(as_ids(cut.vertices), (Ids{1, 2, 3}));
  EXPECT_EQ(as_ids(cut.faces), (Ids{0, 2, 1}));
  EXPECT_TRUE(quarnet::mesh::cut_faces(IndexedMesh{kVertices, kFaces}, Ids{}).vertices.empty());

  EXPECT_EQ(as_ids(quarnet::mesh::other_faces(6, Ids{4, 1, 4})), (Ids{0, 2, 3, 5}));
  EXPECT_EQ(as_ids(quarnet::mesh::other_faces(2, Ids{0, 1})), Ids{});

  const std::vector<std::uint16_t> rows{1, 2, 3, 4, 5, 6};
  std::vector<std::uint16_t> out(6);
  quarnet::mesh::gather_rows(rows.data(), 2 * sizeof(std::uint16_t), Ids{2, 0, 2}, out.data());
  EXPECT_EQ(out, (std::vector<std::uint16_t>{5, 6, 1, 2, 5, 6}));
}

}  // namespace
