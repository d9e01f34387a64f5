#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "quarnet/spatial/box_tree.hpp"

namespace {

using quarnet::spatial::BoxTree;
using quarnet::spatial::SpatialIndexApi;
using quarnet::spatial::SpatialIndexError;

// A stand-in for libspatialindex over a plain list of boxes: a query box's
// hits are the stored boxes it intersects, in storage order. It fills the id
// buffer box by box and stops before a box whose ids do not fit, as the
// library does.
struct FakeLibrary {
  static inline std::vector<double> lo, hi;
  static inline int properties = 0, indexes = 0, resets = 0, calls = 0;
  static inline bool refuse_create = false, fail_query = false;
  static inline int dimension = 0, storage = -1;

  static SpatialIndexApi api() {
    SpatialIndexApi a;
    a.property_create = [] { return static_cast<void*>(&++properties); };
    a.property_destroy = [](void*) { --properties; };
    a.property_set_dimension = [](void*, std::uint32_t d) { dimension = static_cast<int>(d); return 0; };
    a.property_set_storage = [](void*, int s) { storage = s; return 0; };
    a.create_with_array = [](void*, std::uint64_t n, std::uint32_t, std::uint64_t, std::uint64_t, std::uint64_t,
                             std::int64_t* ids, double* mins, double* maxs) -> void* {
      if (refuse_create) return nullptr;
      for (std::uint64_t k = 0; k < n; ++k) EXPECT_EQ(ids[k], static_cast<std::int64_t>(k));
      lo.assign(mins, mins + 3 * n);
      hi.assign(maxs, maxs + 3 * n);
      ++indexes;
      return &lo;
    };
    a.destroy = [](void*) { --indexes; };
    a.intersects_id_v = [](void*, std::int64_t n, std::uint32_t, std::uint64_t idsz, std::uint64_t, std::uint64_t,
                           const double* qlo, const double* qhi, std::int64_t* ids, std::uint64_t* counts,
                           std::int64_t* done) {
      ++calls;
      if (fail_query) return 3;  // RT_Failure
      std::uint64_t used = 0;
      std::int64_t i = 0;
      for (; i < n; ++i) {
        std::vector<std::int64_t> hits;
        for (std::size_t b = 0; b < lo.size() / 3; ++b) {
          bool meets = true;
          for (int d = 0; d < 3; ++d) meets &= qlo[3 * i + d] <= hi[3 * b + d] && lo[3 * b + d] <= qhi[3 * i + d];
          if (meets) hits.push_back(static_cast<std::int64_t>(b));
        }
        counts[i] = hits.size();
        if (used + hits.size() > idsz) break;
        for (const auto h : hits) ids[used++] = h;
      }
      *done = i;
      return 0;
    };
    a.error_reset = [] { ++resets; };
    return a;
  }
};

TEST(BoxTree, BuildsAMemoryTreeAndAnswersEveryBoxInOrderWhateverTheBufferSize) {
  const SpatialIndexApi api = FakeLibrary::api();
  ASSERT_TRUE(api.complete());
  // Ten unit boxes along x; box k spans [k, k + 1].
  std::vector<double> lo, hi;
  for (int k = 0; k < 10; ++k) {
    lo.insert(lo.end(), {double(k), 0, 0});
    hi.insert(hi.end(), {double(k + 1), 1, 1});
  }
  {
    const BoxTree tree = BoxTree::bulk_load(api, lo, hi);
    EXPECT_EQ(FakeLibrary::dimension, 3);
    EXPECT_EQ(FakeLibrary::storage, 0);
    EXPECT_EQ(FakeLibrary::properties, 0);  // released once the index holds them
    // Query boxes hitting 10, 0, 1 and 4 stored boxes: more than the first
    // buffer (two ids per query box) holds.
    const std::vector<double> qlo{-5, 0, 0, 20, 0, 0, 2.5, 0.5, 0.5, 3.5, 0, 0};
    const std::vector<double> qhi{50, 1, 1, 30, 1, 1, 2.6, 0.6, 0.6, 6.5, 1, 1};
    std::vector<std::int64_t> ids;
    std::vector<std::uint64_t> counts;
    tree.intersecting(qlo, qhi, ids, counts);
    EXPECT_EQ(counts, (std::vector<std::uint64_t>{10, 0, 1, 4}));
    std::vector<std::int64_t> want{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 2, 3, 4, 5, 6};
    EXPECT_EQ(ids, want);
    EXPECT_GT(FakeLibrary::calls, 1);  // the buffer had to grow
  }
  EXPECT_EQ(FakeLibrary::indexes, 0);

  FakeLibrary::fail_query = true;
  {
    const BoxTree tree = BoxTree::bulk_load(api, lo, hi);
    std::vector<std::int64_t> ids;
    std::vector<std::uint64_t> counts;
    EXPECT_THROW(tree.intersecting(lo, hi, ids, counts), SpatialIndexError);
  }
  FakeLibrary::fail_query = false;
  FakeLibrary::refuse_create = true;
  const int resets = FakeLibrary::resets;
  EXPECT_THROW(BoxTree::bulk_load(api, lo, hi), SpatialIndexError);
  EXPECT_EQ(FakeLibrary::resets, resets + 1);
  EXPECT_EQ(FakeLibrary::properties, 0);
  FakeLibrary::refuse_create = false;
  EXPECT_THROW(BoxTree::bulk_load(api, lo, std::vector<double>{1}), std::invalid_argument);
}

}  // namespace
