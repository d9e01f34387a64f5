#include "quarnet/spatial/box_tree.hpp"

#include <numeric>

namespace quarnet::spatial {
namespace {

constexpr int kMemoryStorage = 0;  // RT_Memory
constexpr std::uint32_t kDimension = 3;

[[noreturn]] void fail(const SpatialIndexApi& api, const char* what) {
  api.error_reset();
  throw SpatialIndexError(std::string("libspatialindex: ") + what + " failed");
}

struct Properties {
  const SpatialIndexApi& api;
  SpatialIndexApi::Handle handle;
  ~Properties() {
    if (handle != nullptr) api.property_destroy(handle);
  }
};

}  // namespace

bool SpatialIndexApi::complete() const noexcept {
  return property_create && property_destroy && property_set_dimension && property_set_storage && create_with_array &&
         destroy && intersects_id_v && error_reset;
}

BoxTree BoxTree::bulk_load(const SpatialIndexApi& api, std::span<const double> mins, std::span<const double> maxs) {
  if (mins.size() != maxs.size() || mins.size() % kDimension != 0)
    throw std::invalid_argument("box corners of unequal or partial length");
  const std::size_t n = mins.size() / kDimension;
  // What rtree.index.Property(dimension=3) and a memory-storage Index set.
  Properties props{api, api.property_create()};
  if (props.handle == nullptr) fail(api, "IndexProperty_Create");
  if (api.property_set_dimension(props.handle, kDimension) != 0) fail(api, "IndexProperty_SetDimension");
  if (api.property_set_storage(props.handle, kMemoryStorage) != 0) fail(api, "IndexProperty_SetIndexStorage");

  std::vector<std::int64_t> ids(n);
  std::iota(ids.begin(), ids.end(), std::int64_t{0});
  // The library reads the corners only; its signature is not const-qualified.
  SpatialIndexApi::Handle index =
      api.create_with_array(props.handle, n, kDimension, 1, kDimension, 1, ids.data(), const_cast<double*>(mins.data()),
                            const_cast<double*>(maxs.data()));
  if (index == nullptr) fail(api, "Index_CreateWithArray");
  return BoxTree(api, index);
}

BoxTree::~BoxTree() {
  if (index_ != nullptr) api_->destroy(index_);
}

void BoxTree::intersecting(std::span<const double> mins, std::span<const double> maxs, std::vector<std::int64_t>& ids,
                           std::vector<std::uint64_t>& counts) const {
  if (mins.size() != maxs.size() || mins.size() % kDimension != 0)
    throw std::invalid_argument("box corners of unequal or partial length");
  const std::size_t n = mins.size() / kDimension;
  counts.assign(n, 0);
  ids.resize(2 * n);
  // The library fills the id buffer box by box and stops before a box whose
  // ids do not fit, reporting how many boxes it finished and that box's count.
  std::size_t done_boxes = 0, done_ids = 0;
  while (done_boxes < n) {
    std::int64_t finished = 0;
    const int rc = api_->intersects_id_v(index_, static_cast<std::int64_t>(n - done_boxes), kDimension,
                                         ids.size() - done_ids, kDimension, 1, mins.data() + kDimension * done_boxes,
                                         maxs.data() + kDimension * done_boxes, ids.data() + done_ids,
                                         counts.data() + done_boxes, &finished);
    if (rc != 0 || finished < 0 || static_cast<std::size_t>(finished) > n - done_boxes) fail(*api_, "Index_Intersects_id_v");
    for (std::size_t k = 0; k < static_cast<std::size_t>(finished); ++k) done_ids += counts[done_boxes + k];
    done_boxes += static_cast<std::size_t>(finished);
    if (done_boxes == n) break;
    // No progress although the stopping box's ids would have fit: give up
    // rather than grow the buffer for ever.
    if (finished == 0 && counts[done_boxes] <= ids.size() - done_ids) fail(*api_, "Index_Intersects_id_v");
    ids.resize(2 * ids.size() + counts[done_boxes]);
  }
  ids.resize(done_ids);
}

}  // namespace quarnet::spatial
