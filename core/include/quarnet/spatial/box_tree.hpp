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
#include <type_traits>

namespace quarnet::spatial {

// What the tree is built like: the R-tree properties of the library whose
// tree it reproduces.
struct TreeShape {
  std::uint32_t dimension = 0;       // 1, 2 or 3
  std::uint32_t leaf_capacity = 0;   // entries a leaf may hold
  std::uint32_t index_capacity = 0;  // children an index node may hold
  double fill_factor = 0.0;          // the share of a node the bulk load fills

  // Entries per packed node: floor(capacity * fill_factor), at least 1
  // (ArgumentError otherwise).
  std::uint32_t leaf_fill() const;
  std::uint32_t index_fill() const;
};

class BoxTree {
 public:
  // The most boxes one tree holds: the library sorts more in runs on disk.
  static constexpr std::size_t kMaxBoxes = 0x7fffffff;

  // The tree of box k = (lo[d k ... d k + d - 1], hi[...]) under id k, for
  // d = shape.dimension. Throws ArgumentError for spans of unequal or
  // partial length, no box, a box that is not finite or a shape that packs
  // no entry, or past kMaxBoxes. The work on the slabs of the first
  // dimension is spread over `threads` threads (the tree is the same for any
  // number). It stops at check_stop() (parallel/stop.hpp).
  static BoxTree bulk_load(const TreeShape& shape, std::span<const double> lo, std::span<const double> hi,
                           unsigned threads = 1);

  BoxTree(BoxTree&&) noexcept;
  BoxTree& operator=(BoxTree&&) noexcept;
  ~BoxTree();

  std::size_t size() const noexcept;    // boxes stored
  std::size_t height() const noexcept;  // levels of nodes

  // visit(id) for the stored boxes that the query box lo[0 ... d - 1],
  // hi[0 ... d - 1] meets, in search order, until visit returns false.
  template <class Visit>
  void search(const double* lo, const double* hi, Visit&& visit) const {
    using V = std::remove_reference_t<Visit>;
    search(lo, hi, [](void* v, std::int64_t id) { return static_cast<bool>((*static_cast<V*>(v))(id)); },
           static_cast<void*>(&visit));
  }

 private:
  struct Storage;
  explicit BoxTree(std::unique_ptr<Storage> storage) noexcept;
  void search(const double* lo, const double* hi, bool (*visit)(void*, std::int64_t), void* context) const;

  std::unique_ptr<Storage> storage_;
};

}  // namespace quarnet::spatial
