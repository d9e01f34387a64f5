#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <numeric>
#include <vector>

#include "quarnet/mesh/face_ids.hpp"

namespace {

using quarnet::mesh::FaceIdCollector;
using quarnet::mesh::unique_in_order;
using Ids = std::vector<std::int64_t>;

Ids iota(std::int64_t first, std::size_t n) {
  Ids v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

TEST(FaceIdCollector, KeepsTheFirstTwentyOfEachGroupInOrder) {
  FaceIdCollector c;
  const Ids big = iota(100, 35);
  c.add_group(big);
  c.add_group(Ids{7, 3, 5});
  c.add_group(Ids{});
  Ids expected(big.begin(), big.begin() + 20);
  expected.insert(expected.end(), {7, 3, 5});
  EXPECT_EQ(c.ids(), expected);
  EXPECT_EQ(c.groups(), 3u);
}

TEST(FaceIdCollector, KeepsRepeatsAcrossGroups) {
  FaceIdCollector c;
  c.add_group(Ids{4, 9});
  c.add_group(Ids{9, 4, 4});
  EXPECT_EQ(c.ids(), (Ids{4, 9, 9, 4, 4}));
}

TEST(FaceIdCollector, AppendGroupHandsOutRoomForTheHeadOnly) {
  FaceIdCollector c(2);
  EXPECT_EQ(c.take(5), 2u);
  EXPECT_EQ(c.take(1), 1u);
  auto room = c.append_group(5);
  ASSERT_EQ(room.size(), 2u);
  room[0] = 11;
  room[1] = 12;
  auto none = c.append_group(0);
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(c.ids(), (Ids{11, 12}));
  EXPECT_EQ(c.groups(), 2u);
  EXPECT_EQ(c.release(), (Ids{11, 12}));
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

}  // namespace
