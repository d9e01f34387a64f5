#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <cstdint>
#include <limits>
#include <random>
#include <stdexcept>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/parallel/sort_in_two.hpp"
#include "quarnet/spatial/box_tree.hpp"
#include "quarnet/spatial/nearest_point.hpp"

namespace {

using quarnet::spatial::BoxTree;
using quarnet::spatial::TreeShape;
using Ids = std::vector<std::int64_t>;

constexpr TreeShape kRtreeShape{3, 100, 100, 0.7};

struct Boxes {
  std::vector<double> lo, hi;
  void add(std::initializer_list<double> l, std::initializer_list<double> h) {
    lo.insert(lo.end(), l);
    hi.insert(hi.end(), h);
  }
  std::size_t size() const { return lo.size() / 3; }
};

// The ids of the boxes the query box k of lo, hi meets, in search order, at
// most `limit`.
Ids query(const BoxTree& tree, const std::vector<double>& lo, const std::vector<double>& hi,
          std::size_t limit = std::numeric_limits<std::size_t>::max(), std::size_t k = 0) {
  Ids ids;
  if (limit > 0) {
    tree.search(&lo[3 * k], &hi[3 * k], [&](std::int64_t id) {
      ids.push_back(id);
      return ids.size() < limit;
    });
  }
  return ids;
}

// Random boxes, or boxes on a coarse grid (many equal keys, many touching).
Boxes random_boxes(std::size_t n, bool grid, unsigned seed) {
  std::mt19937_64 rng(seed);
  std::uniform_real_distribution<double> at(-10, 10), size(0, 0.5);
  std::uniform_int_distribution<int> cell(0, 12);
  Boxes b;
  for (std::size_t k = 0; k < n; ++k) {
    for (int c = 0; c < 3; ++c) {
      const double lo = grid ? cell(rng) : at(rng);
      b.lo.push_back(lo);
      b.hi.push_back(lo + (grid ? cell(rng) % 2 : size(rng)));
    }
  }
  return b;
}

TEST(BoxTree, PackedShape) {
  EXPECT_EQ(kRtreeShape.leaf_fill(), 70u);
  EXPECT_EQ(kRtreeShape.index_fill(), 70u);
  EXPECT_EQ((TreeShape{2, 10, 8, 0.5}).leaf_fill(), 5u);
  EXPECT_EQ((TreeShape{2, 10, 8, 0.5}).index_fill(), 4u);
  EXPECT_THROW((TreeShape{3, 1, 1, 0.5}).leaf_fill(), quarnet::ArgumentError);
}

TEST(BoxTree, OneLeafHoldsItsBoxesInKeyOrder) {
  // Keys lo + hi along x: 7, 3, 11, 1; the whole-space query lists them sorted.
  Boxes b;
  b.add({3, 0, 0}, {4, 1, 1});
  b.add({1, 0, 0}, {2, 1, 1});
  b.add({5, 0, 0}, {6, 1, 1});
  b.add({0, 0, 0}, {1, 1, 1});
  const BoxTree tree = BoxTree::bulk_load(kRtreeShape, b.lo, b.hi);
  EXPECT_EQ(tree.size(), 4u);
  EXPECT_EQ(tree.height(), 1u);
  EXPECT_EQ(query(tree, {-1, -1, -1}, {9, 9, 9}), (Ids{3, 1, 0, 2}));
  // Closed boxes: touching counts, a gap does not; the head of the answer only.
  EXPECT_EQ(query(tree, {4, 1, 1}, {5, 2, 2}), (Ids{0, 2}));
  EXPECT_EQ(query(tree, {4.5, 0, 0}, {4.9, 1, 1}), Ids{});
  EXPECT_EQ(query(tree, {-1, -1, -1}, {9, 9, 9}, 2), (Ids{3, 1}));
  EXPECT_EQ(query(tree, {-1, -1, -1}, {9, 9, 9}, 0), Ids{});
}

TEST(BoxTree, AnswersEqualTheBoxesMetAndHeadsArePrefixes) {
  for (const bool grid : {false, true}) {
    for (const std::size_t n : {1u, 69u, 70u, 71u, 4900u, 5000u, 20000u, 250000u}) {
      const Boxes b = random_boxes(n, grid, static_cast<unsigned>(n));
      const BoxTree tree = BoxTree::bulk_load(kRtreeShape, b.lo, b.hi);
      EXPECT_EQ(tree.size(), n);
      // Slabs packed on several threads make the same tree.
      const std::vector<double> everywhere_lo{-1e9, -1e9, -1e9}, everywhere_hi{1e9, 1e9, 1e9};
      EXPECT_EQ(query(BoxTree::bulk_load(kRtreeShape, b.lo, b.hi, 3), everywhere_lo, everywhere_hi),
                query(tree, everywhere_lo, everywhere_hi));
      const Boxes q = random_boxes(40, grid, 99);
      for (std::size_t k = 0; k < q.size(); ++k) {
        Ids want;
        for (std::size_t j = 0; j < n; ++j) {
          bool meets = true;
          for (int c = 0; c < 3; ++c)
            meets &= q.lo[3 * k + c] <= b.hi[3 * j + c] && b.lo[3 * j + c] <= q.hi[3 * k + c];
          if (meets) want.push_back(static_cast<std::int64_t>(j));
        }
        Ids got = query(tree, q.lo, q.hi, std::numeric_limits<std::size_t>::max(), k);
        const Ids head = query(tree, q.lo, q.hi, 20, k);
        ASSERT_EQ(head.size(), std::min<std::size_t>(got.size(), 20));
        EXPECT_TRUE(std::equal(head.begin(), head.end(), got.begin()));
        std::sort(got.begin(), got.end());
        EXPECT_EQ(got, want) << "n=" << n << " grid=" << grid << " query " << k;
      }
      // Every box once in the whole-space answer: the leaves' order.
      Ids order = query(tree, {-1e9, -1e9, -1e9}, {1e9, 1e9, 1e9});
      std::sort(order.begin(), order.end());
      EXPECT_EQ(order.size(), n);
      EXPECT_TRUE(std::adjacent_find(order.begin(), order.end()) == order.end());
    }
  }
}

TEST(BoxTree, HeightGrowsWithTheBoxes) {
  EXPECT_EQ(BoxTree::bulk_load(kRtreeShape, random_boxes(70, false, 1).lo, random_boxes(70, false, 1).hi).height(), 1u);
  const Boxes b = random_boxes(5000, false, 2);
  EXPECT_EQ(BoxTree::bulk_load(kRtreeShape, b.lo, b.hi).height(), 3u);
  EXPECT_EQ(BoxTree::bulk_load(TreeShape{3, 4, 4, 0.5}, b.lo, b.hi).height(), 13u);
}

TEST(BoxTree, RefusesWhatItCannotOrder) {
  using quarnet::ArgumentError;
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const std::vector<double> one{0, 0, 0}, two{1, 1, 1};
  EXPECT_THROW(BoxTree::bulk_load(kRtreeShape, {}, {}), ArgumentError);
  EXPECT_THROW(BoxTree::bulk_load(kRtreeShape, one, std::vector<double>{1, 1}), ArgumentError);
  EXPECT_THROW(BoxTree::bulk_load(kRtreeShape, one, std::vector<double>{1, nan, 1}), ArgumentError);
  EXPECT_THROW(BoxTree::bulk_load(kRtreeShape, std::vector<double>{-inf, 0, 0}, two), ArgumentError);
  EXPECT_THROW(BoxTree::bulk_load(TreeShape{0, 100, 100, 0.7}, one, two), ArgumentError);
  EXPECT_THROW(BoxTree::bulk_load(TreeShape{3, 100, 100, 0.0}, one, two), ArgumentError);
}

// The split sort leaves records, ties included, in std::sort's very order:
// keys with many ties, sorted, reversed, all equal; sizes around the
// insertion sort's threshold and large.
TEST(SortInTwo, GivesStdSortsPermutation) {
  struct Record {
    double key;
    std::uint32_t item;
  };
  const auto less = [](const Record& a, const Record& b) { return a.key < b.key; };
  std::mt19937_64 rng(3);
  for (const std::size_t n : {2u, 16u, 17u, 100u, 5000u, 300000u}) {
    for (int pattern = 0; pattern < 4; ++pattern) {
      std::uniform_int_distribution<int> few(0, 50);
      std::vector<Record> records(n);
      for (std::size_t k = 0; k < n; ++k) {
        const double key = pattern == 0 ? few(rng) : pattern == 1 ? double(k) : pattern == 2 ? double(n - k) : 1.0;
        records[k] = {key, static_cast<std::uint32_t>(k)};
      }
      std::vector<Record> want = records;
      std::sort(want.begin(), want.end(), less);
      quarnet::parallel::sort_in_two(records.begin(), records.end(), less);
      for (std::size_t k = 0; k < n; ++k) ASSERT_EQ(records[k].item, want[k].item) << "n=" << n << " pattern " << pattern;
    }
  }
}

}  // namespace

namespace {

using quarnet::spatial::NearestPoint;

// The nearest distance by brute force, summed as the k-d tree sums it.
double brute_nearest(const std::vector<double>& points, const double* q) {
  double best = std::numeric_limits<double>::infinity();
  for (std::size_t k = 0; k < points.size() / 3; ++k) {
    double s = 0.0;
    for (int a = 0; a < 3; ++a) {
      const double d = points[3 * k + a] - q[a];
      s += d * d;
    }
    best = std::min(best, s);
  }
  return std::sqrt(best);
}

TEST(NearestPoint, EqualsTheSmallestDistanceBitForBit) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-3, 3), far(-1e4, 1e4);
  std::uniform_int_distribution<int> lattice(-4, 4);
  // Random points, a lattice (many equal distances), a flat sheet, one point.
  std::vector<std::vector<double>> sets(4);
  for (int k = 0; k < 3000; ++k) {
    for (int a = 0; a < 3; ++a) {
      sets[0].push_back(u(rng));
      sets[1].push_back(lattice(rng) * 0.1);
      sets[2].push_back(a == 2 ? 1.5 : u(rng));
    }
  }
  sets[3] = {0.25, -1, 3};
  for (const auto& points : sets) {
    const NearestPoint nearest(points);
    for (int k = 0; k < 400; ++k) {
      double q[3];
      for (double& c : q) c = k % 8 == 7 ? 1e300 : k % 4 == 3 ? far(rng) : k % 4 == 2 ? lattice(rng) * 0.05 : u(rng);
      const double got = *nearest.distance(q), want = brute_nearest(points, q);
      const auto limited = nearest.distance(q, 50);
      EXPECT_TRUE(!limited || *limited == got);
      EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << got << " vs " << want;
    }
    EXPECT_EQ(*nearest.distance(points.data()), 0.0);
  }
  // The centre of a shell of points lies many empty cells away from them:
  // over a small budget, found without one.
  std::vector<double> shell;
  for (std::size_t k = 0; k < sets[0].size(); k += 3) {
    const double* p = &sets[0][k];
    const double norm = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
    for (int a = 0; a < 3; ++a) shell.push_back(p[a] / norm);
  }
  const double centre[3] = {0.0, 0.0, 0.0};
  const double nan_query[3] = {std::nan(""), 0.0, 0.0};
  EXPECT_FALSE(NearestPoint(shell).distance(centre, 50).has_value());
  EXPECT_EQ(*NearestPoint(shell).distance(centre), brute_nearest(shell, centre));
  EXPECT_THROW(NearestPoint(shell).distance(nan_query), quarnet::ArgumentError);
  EXPECT_THROW(NearestPoint(std::vector<double>{}), quarnet::ArgumentError);
  EXPECT_THROW(NearestPoint(std::vector<double>{1, 2}), quarnet::ArgumentError);
  EXPECT_THROW(NearestPoint(std::vector<double>{1, 2, std::nan("")}), quarnet::ArgumentError);
}

// Points of any scale spread over as many cells: a query near them is
// answered within a small budget, with the brute-force value; a tiny or
// huge scale once put every point into one cell.
TEST(NearestPoint, AnyScaleFillsTheGrid) {
  std::mt19937_64 rng(9);
  std::uniform_real_distribution<double> u(-1, 1);
  for (const double scale : {1e-160, 1e-30, 1.0, 1e150}) {
    std::vector<double> points(3 * 20000);
    for (double& x : points) x = u(rng) * scale;
    const NearestPoint nearest(points);
    for (int k = 0; k < 50; ++k) {
      const double q[3] = {u(rng) * scale, u(rng) * scale, u(rng) * scale};
      const auto got = nearest.distance(q, 4096);
      ASSERT_TRUE(got.has_value()) << "scale " << scale;
      const double want = brute_nearest(points, q);
      EXPECT_EQ(std::memcmp(&*got, &want, sizeof want), 0) << "scale " << scale;
    }
  }
}

}  // namespace
