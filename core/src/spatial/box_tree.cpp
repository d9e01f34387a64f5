#include "quarnet/spatial/box_tree.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/memory/reuse.hpp"
#include "quarnet/parallel/run_tasks.hpp"
#include "quarnet/parallel/sort_in_two.hpp"
#include "quarnet/parallel/stop.hpp"

namespace quarnet::spatial {
namespace {

std::uint32_t packed(std::uint32_t capacity, double fill_factor) {
  // The library's own expression: floor(double(capacity * fill_factor)).
  const double entries = std::floor(static_cast<double>(capacity * fill_factor));
  if (!(entries >= 1.0) || entries > static_cast<double>(std::numeric_limits<std::uint32_t>::max()))
    throw ArgumentError("tree shape packs no entry into a node");
  return static_cast<std::uint32_t>(entries);
}

// One record of the sort: an item (a box id, or a node of the level below)
// with its key in the dimension being sorted. Sixteen bytes: the sorts move
// half the memory that keys of every dimension would, and the permutation
// depends on the keys' comparisons alone.
struct Record {
  double key;
  std::uint32_t item;
};

// Vectors whose new elements are left uninitialised: the bulk load writes
// every one, on several threads, so zeroing them first is wasted work. Their
// buffers are reused from one tree to the next (memory/reuse.hpp).
template <class T>
struct Uninitialised : memory::Allocator<T> {
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

}  // namespace

std::uint32_t TreeShape::leaf_fill() const { return packed(leaf_capacity, fill_factor); }
std::uint32_t TreeShape::index_fill() const { return packed(index_capacity, fill_factor); }

// Packs one level of the tree from the items of the level below. Records,
// slots and nodes are placed by position: slot k holds the k-th record of
// the final order, and where a part of the records starts its nodes follows
// from the sizes of the parts before it alone. So the slabs of the first cut
// are independent and are packed on several threads.
template <std::uint32_t D>
class StrLoader {
 public:
  StrLoader(const double* lo, const double* hi, std::size_t items, std::uint32_t per_node, unsigned threads,
            Level& level)
      : lo_(lo), hi_(hi), per_node_(per_node), threads_(threads), level_(level), records_(items) {
    level_.boxes.resize(2 * D * items);
    level_.refs.resize(items);
    const unsigned halves = threads_ > 1 && items >= kParallelRecords ? 2 : 1;
    parallel::run_tasks(halves, halves, [&](std::size_t half, unsigned) {
      for (std::size_t k = items * half / halves; k < items * (half + 1) / halves; ++k)
        records_[k] = {hi[D * k] + lo[D * k], static_cast<std::uint32_t>(k)};
    });
    const std::size_t nodes = nodes_made(items, 0);
    level_.first.resize(nodes + 1);
    level_.first[nodes] = static_cast<std::uint32_t>(items);
    node_lo.resize(D * nodes);
    node_hi.resize(D * nodes);
  }

  // Sorts the items (in their original order) by the first dimension and
  // packs them; the bounds of the nodes made, in order, are the items of the
  // next level.
  void load() {
    const std::span<Record> all(records_);
    sort(all, 0, threads_);
    parallel::check_stop();
    const std::uint64_t slab = slab_size(all.size(), 0);
    if (slab == 0) {
      pack(all, 0, 0);
      return;
    }
    // The slabs of the first dimension, each sorted by the next and packed,
    // handed out over the threads; the node where each starts, known before.
    std::vector<std::size_t> first_node{0};
    for (std::uint64_t at = 0; at < all.size(); at += slab)
      first_node.push_back(first_node.back() + nodes_made(std::min<std::uint64_t>(slab, all.size() - at), 1));
    const std::size_t slabs = first_node.size() - 1;
    const auto workers = static_cast<unsigned>(all.size() >= kParallelRecords ? std::min<std::size_t>(threads_, slabs) : 1);
    parallel::run_tasks(slabs, workers, [&](std::size_t k, unsigned) {
      const std::uint64_t at = k * slab;
      const auto part = all.subspan(at, std::min<std::uint64_t>(slab, all.size() - at));
      sort(part, 1);
      create_level(part, 1, at, first_node[k]);
    });
  }

  std::vector<double> node_lo, node_hi;

 private:
  static constexpr std::size_t kParallelRecords = 200000;
  static constexpr std::size_t kAhead = 16;

  static void sort_by(std::span<Record> records, unsigned threads) {
    const auto less = [](const Record& a, const Record& b) { return a.key < b.key; };
    if (threads > 1 && records.size() >= kParallelRecords) {
      parallel::sort_in_two(records.begin(), records.end(), less);
    } else {
      std::sort(records.begin(), records.end(), less);
    }
  }

  // Sorts by `dim`, whose keys are set first where the records were made
  // with the first dimension's.
  void sort(std::span<Record> records, std::uint32_t dim, unsigned threads = 1) const {
    if (dim > 0) {
      for (Record& r : records) r.key = hi_[D * r.item + dim] + lo_[D * r.item + dim];
    }
    sort_by(records, threads);
  }

  // The records per slab where `total` records sorted by `dim` are cut into
  // slabs, or 0 where they are packed as they are.
  std::uint64_t slab_size(std::uint64_t total, std::uint32_t dim) const {
    const std::uint64_t b = per_node_;
    const auto nodes = static_cast<std::uint64_t>(std::ceil(static_cast<double>(total) / static_cast<double>(b)));
    const auto slabs = static_cast<std::uint64_t>(std::ceil(std::sqrt(static_cast<double>(nodes))));
    if (slabs == 1 || dim == D - 1 || slabs * b == total) return 0;
    return slabs * b;
  }

  // The nodes that `total` records sorted by `dim` make.
  std::size_t nodes_made(std::uint64_t total, std::uint32_t dim) const {
    const std::uint64_t slab = slab_size(total, dim);
    if (slab == 0) return static_cast<std::size_t>((total + per_node_ - 1) / per_node_);
    std::size_t nodes = 0;
    for (std::uint64_t at = 0; at < total; at += slab) nodes += nodes_made(std::min(slab, total - at), dim + 1);
    return nodes;
  }

  void create_level(std::span<Record> records, std::uint32_t dim, std::size_t slot, std::size_t node) {
    parallel::check_stop();
    const std::uint64_t slab = slab_size(records.size(), dim);
    if (slab == 0) {
      pack(records, slot, node);
      return;
    }
    for (std::uint64_t at = 0; at < records.size(); at += slab) {
      const auto part = records.subspan(at, std::min<std::uint64_t>(slab, records.size() - at));
      sort(part, dim + 1);
      create_level(part, dim + 1, slot + at, node);
      node += nodes_made(part.size(), dim + 1);
    }
  }

  // Nodes of per_node_ records in order (the last one short), the first at
  // slot `slot` and node `node`.
  void pack(std::span<const Record> records, std::size_t slot, std::size_t node) {
    for (std::size_t at = 0; at < records.size(); at += per_node_, ++node) {
      const std::size_t end = std::min<std::size_t>(at + per_node_, records.size());
      level_.first[node] = static_cast<std::uint32_t>(slot + at);
      // The node's bounds grow from the inverted extreme box, as the
      // library's do (std::min / std::max, entry by entry).
      double* node_min = node_lo.data() + D * node;
      double* node_max = node_hi.data() + D * node;
      std::fill_n(node_min, D, std::numeric_limits<double>::max());
      std::fill_n(node_max, D, -std::numeric_limits<double>::max());
      for (std::size_t k = at; k < end; ++k) {
        if (k + kAhead < records.size()) {  // the boxes are read in random order: ask for them early
          const std::size_t ahead = static_cast<std::size_t>(D) * records[k + kAhead].item;
          __builtin_prefetch(lo_ + ahead);
          __builtin_prefetch(hi_ + ahead);
        }
        const std::uint32_t item = records[k].item;
        const double* lo = lo_ + static_cast<std::size_t>(D) * item;
        const double* hi = hi_ + static_cast<std::size_t>(D) * item;
        double* box = level_.boxes.data() + 2 * D * (slot + k);
        for (std::uint32_t c = 0; c < D; ++c) {
          box[c] = lo[c];
          box[D + c] = hi[c];
          node_min[c] = std::min(node_min[c], lo[c]);
          node_max[c] = std::max(node_max[c], hi[c]);
        }
        level_.refs[slot + k] = item;
      }
    }
  }

  const double* lo_;
  const double* hi_;
  std::uint32_t per_node_;
  unsigned threads_;
  Level& level_;
  Slots<Record> records_;
};

struct BoxTree::Storage {
  std::uint32_t dim = 0;
  std::vector<Level> levels;     // leaves first, the root's level last
  std::vector<double> root_box;  // the root's bounds
};

namespace {

template <std::uint32_t D>
void load_levels(const TreeShape& shape, std::span<const double> lo, std::span<const double> hi, unsigned threads,
                 std::vector<Level>& levels, std::vector<double>& root_box) {
  const std::uint32_t leaf_fill = shape.leaf_fill(), index_fill = shape.index_fill();
  std::vector<double> items_lo, items_hi;  // the node bounds of the level below
  const double* level_lo = lo.data();
  const double* level_hi = hi.data();
  std::size_t items = lo.size() / D;
  while (true) {
    Level& level = levels.emplace_back();
    std::vector<double> made_lo, made_hi;
    {
      StrLoader<D> loader(level_lo, level_hi, items, levels.size() == 1 ? leaf_fill : index_fill, threads, level);
      loader.load();
      made_lo = std::move(loader.node_lo);
      made_hi = std::move(loader.node_hi);
    }
    items_lo = std::move(made_lo);
    items_hi = std::move(made_hi);
    items = items_lo.size() / D;
    if (items == 1) break;
    level_lo = items_lo.data();
    level_hi = items_hi.data();
  }
  root_box = std::move(items_lo);
  root_box.insert(root_box.end(), items_hi.begin(), items_hi.end());
}

// The query box meets the stored box (lo then hi): no dimension in which
// one lies wholly beyond the other.
bool meets(const double* qlo, const double* qhi, const double* box, std::uint32_t dim) {
  for (std::uint32_t c = 0; c < dim; ++c) {
    if (qlo[c] > box[dim + c] || qhi[c] < box[c]) return false;
  }
  return true;
}

}  // namespace

BoxTree::BoxTree(std::unique_ptr<Storage> storage) noexcept : storage_(std::move(storage)) {}
BoxTree::BoxTree(BoxTree&&) noexcept = default;
BoxTree& BoxTree::operator=(BoxTree&&) noexcept = default;
BoxTree::~BoxTree() = default;

std::size_t BoxTree::size() const noexcept { return storage_->levels.front().refs.size(); }
std::size_t BoxTree::height() const noexcept { return storage_->levels.size(); }

BoxTree BoxTree::bulk_load(const TreeShape& shape, std::span<const double> lo, std::span<const double> hi,
                           unsigned threads) {
  const std::uint32_t dim = shape.dimension;
  if (dim == 0 || dim > 3) throw ArgumentError("tree shape of a dimension other than 1, 2 or 3");
  (void)shape.leaf_fill();  // throws for shapes that pack nothing
  (void)shape.index_fill();
  if (lo.size() != hi.size() || lo.size() % dim != 0) throw ArgumentError("box corners of unequal or partial length");
  const std::size_t count = lo.size() / dim;
  if (count == 0) throw ArgumentError("no box to load");
  if (count > kMaxBoxes) throw ArgumentError("too many boxes for an in-memory bulk load");
  bool finite = true;
  for (std::size_t k = 0; k < lo.size(); ++k) finite &= std::isfinite(lo[k]) && std::isfinite(hi[k]);
  if (!finite) throw ArgumentError("box corner that is not finite");

  auto storage = std::make_unique<Storage>();
  storage->dim = dim;
  if (dim == 1) load_levels<1>(shape, lo, hi, threads, storage->levels, storage->root_box);
  if (dim == 2) load_levels<2>(shape, lo, hi, threads, storage->levels, storage->root_box);
  if (dim == 3) load_levels<3>(shape, lo, hi, threads, storage->levels, storage->root_box);
  return BoxTree(std::move(storage));
}

void BoxTree::search(const double* qlo, const double* qhi, bool (*visit)(void*, std::int64_t), void* context) const {
  struct Pending {
    std::uint32_t level, node;
  };
  thread_local std::vector<Pending> stack;  // kept for the next query: no allocation per query
  const Storage& s = *storage_;
  const std::uint32_t dim = s.dim;
  stack.clear();
  if (meets(qlo, qhi, s.root_box.data(), dim)) stack.push_back({static_cast<std::uint32_t>(s.levels.size() - 1), 0});
  while (!stack.empty()) {
    const Pending at = stack.back();
    stack.pop_back();
    const Level& level = s.levels[at.level];
    const std::uint32_t end = level.first[at.node + 1];
    for (std::uint32_t slot = level.first[at.node]; slot < end; ++slot) {
      if (!meets(qlo, qhi, level.boxes.data() + 2 * static_cast<std::size_t>(dim) * slot, dim)) continue;
      if (at.level == 0) {
        if (!visit(context, level.refs[slot])) return;
      } else {
        stack.push_back({at.level - 1, level.refs[slot]});
      }
    }
  }
}

}  // namespace quarnet::spatial
