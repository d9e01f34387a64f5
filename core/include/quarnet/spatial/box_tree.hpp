// An R-tree of axis-aligned boxes, bulk loaded sort-tile-recursively and
// searched depth first, so that it holds its boxes in exactly the nodes, and
// answers a box query in exactly the order, of libspatialindex's R-tree
// bulk loaded with the same parameters (RTree::BulkLoader::bulkLoadUsingSTR
// with the records sorted in memory, and RTree::rangeQuery):
//
//   bulk load, level by level, from the records of the level below
//   (the boxes themselves at the leaf level, the nodes' bounds above):
//     sort the records by lo[0] + hi[0] with std::sort (not stable: the
//     order of ties is the one its comparisons give, which is why the
//     records are sorted in their original order with the same comparator);
//     unless one slab suffices, cut them into slabs of S * b records
//     (b = entries per node, P = ceil(n / b), S = ceil(sqrt(P))), sort each
//     slab by the next dimension and recurse; in the last dimension pack
//     nodes of b records in order;
//   search: a stack of nodes, from the root; an index node pushes the
//     children its query box meets in order (so they are visited last
//     first), a leaf reports the entries the box meets in order. Boxes meet
//     where they overlap or touch in every dimension.
//
// The boxes must be finite (a NaN would void std::sort's ordering).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

namespace quarnet::spatial {

// What the tree is built like: the R-tree properties of the library whose
// tree it reproduces.
struct TreeShape {
  std::uint32_t dimension = 0;       // 1, 2 or 3
  std::uint32_t leaf_capacity = 0;   // entries a leaf may hold
  std::uint32_t index_capacity = 0;  // children an index node may hold
  double fill_factor = 0.0;          // the share of a node the bulk load fills

  // Entries per packed node: floor(capacity * fill_factor), at least 1.
  std::uint32_t leaf_fill() const;
  std::uint32_t index_fill() const;
};

class BoxTree {
 public:
  // The most boxes one tree holds: the library sorts more in runs on disk.
  static constexpr std::size_t kMaxBoxes = 0x7fffffff;

  // The tree of box k = (lo[d k ... d k + d - 1], hi[...]) under id k, for
  // d = shape.dimension. Throws std::invalid_argument for spans of unequal
  // or partial length, no box, a box that is not finite or a shape that
  // packs no entry; std::length_error past kMaxBoxes.
  // The work on the slabs of the first dimension is spread over `threads`
  // threads (the tree is the same for any number).
  static BoxTree bulk_load(const TreeShape& shape, std::span<const double> lo, std::span<const double> hi,
                           unsigned threads = 1);

  std::size_t size() const noexcept { return levels_.front().refs.size(); }
  std::size_t height() const noexcept { return levels_.size(); }

  // For each query box q (lo, hi as above), the ids of the stored boxes it
  // meets in search order, at most `limit` of them (the head of the full
  // answer): appended to `ids`, their count appended to `counts`.
  void intersecting(std::span<const double> lo, std::span<const double> hi, std::size_t limit,
                    std::vector<std::int64_t>& ids, std::vector<std::uint64_t>& counts) const;

 private:
  // Vectors whose new elements are left uninitialised: the bulk load writes
  // every one, on several threads, so zeroing them first is wasted work.
  template <class T>
  struct Uninitialised : std::allocator<T> {
    using value_type = T;
    template <class U>
    struct rebind {
      using other = Uninitialised<U>;
    };
    Uninitialised() = default;
    template <class U>
    Uninitialised(const Uninitialised<U>&) noexcept {}
    template <class U>
    void construct(U* p) noexcept {
      ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args) {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  };
  template <class T>
  using Slots = std::vector<T, Uninitialised<T>>;

  // The nodes of one level, in the order they were packed: node j holds the
  // slots first[j] ... first[j + 1] - 1. A slot is a box (lo then hi) and a
  // reference: a box id at the leaf level, a node of the level below above.
  struct Level {
    std::vector<std::uint32_t> first;
    Slots<double> boxes;  // 2 d per slot
    Slots<std::uint32_t> refs;
  };

  template <std::uint32_t D>
  void load_levels(const TreeShape& shape, std::span<const double> lo, std::span<const double> hi, unsigned threads);

  std::uint32_t dim_ = 0;
  std::vector<Level> levels_;        // leaves first, the root's level last
  std::vector<double> root_box_;  // the root's bounds

  template <std::uint32_t D>
  friend class StrLoader;
};

}  // namespace quarnet::spatial
