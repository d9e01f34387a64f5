// An R-tree of 3-D boxes held by libspatialindex and reached through its C
// API. The library is not linked in: the caller hands over the entry points
// of the copy it wants used (the one the rtree package loads), so that the
// tree built here is the one that package builds from the same boxes: bulk
// loaded (sort-tile-recursive), memory storage, default properties.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace quarnet::spatial {

// The C API functions used, with their C signatures (sidx_api.h).
struct SpatialIndexApi {
  using Handle = void*;
  Handle (*property_create)() = nullptr;                                   // IndexProperty_Create
  void (*property_destroy)(Handle) = nullptr;                              // IndexProperty_Destroy
  int (*property_set_dimension)(Handle, std::uint32_t) = nullptr;          // IndexProperty_SetDimension
  int (*property_set_storage)(Handle, int) = nullptr;                      // IndexProperty_SetIndexStorage
  Handle (*create_with_array)(Handle, std::uint64_t n, std::uint32_t dimension, std::uint64_t i_stri,
                              std::uint64_t d_i_stri, std::uint64_t d_j_stri, std::int64_t* ids, double* mins,
                              double* maxs) = nullptr;                     // Index_CreateWithArray
  void (*destroy)(Handle) = nullptr;                                       // Index_Destroy
  int (*intersects_id_v)(Handle, std::int64_t n, std::uint32_t d, std::uint64_t idsz, std::uint64_t d_i_stri,
                         std::uint64_t d_j_stri, const double* mins, const double* maxs, std::int64_t* ids,
                         std::uint64_t* counts, std::int64_t* done) = nullptr;  // Index_Intersects_id_v
  void (*error_reset)() = nullptr;                                         // Error_Reset

  bool complete() const noexcept;
};

// The library reported a failure (RTError other than RT_None, or no index).
class SpatialIndexError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class BoxTree {
 public:
  // Bulk-loads box k = (mins[3k..3k+2], maxs[3k..3k+2]) under id k.
  static BoxTree bulk_load(const SpatialIndexApi& api, std::span<const double> mins, std::span<const double> maxs);

  BoxTree(BoxTree&& other) noexcept : api_(other.api_), index_(other.index_) { other.index_ = nullptr; }
  BoxTree& operator=(BoxTree&&) = delete;
  BoxTree(const BoxTree&) = delete;
  ~BoxTree();

  // For each query box, in order, the ids of the stored boxes it intersects,
  // in the library's traversal order: ids holds them box after box, counts
  // one count per query box.
  void intersecting(std::span<const double> mins, std::span<const double> maxs, std::vector<std::int64_t>& ids,
                    std::vector<std::uint64_t>& counts) const;

 private:
  BoxTree(const SpatialIndexApi& api, SpatialIndexApi::Handle index) : api_(&api), index_(index) {}
  const SpatialIndexApi* api_;
  SpatialIndexApi::Handle index_;
};

}  // namespace quarnet::spatial
