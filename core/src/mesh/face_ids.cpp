#include "quarnet/mesh/face_ids.hpp"

#include <algorithm>
#include <unordered_set>

namespace quarnet::mesh {

std::span<std::int64_t> FaceIdCollector::append_group(std::size_t length) {
  const std::size_t n = std::min(length, limit_);
  const std::size_t start = ids_.size();
  ids_.resize(start + n);
  return {ids_.data() + start, n};
}

std::vector<std::int64_t> unique_in_order(std::span<const std::int64_t> ids) {
  std::vector<std::int64_t> out;
  if (ids.empty()) return out;
  const auto [lo_it, hi_it] = std::minmax_element(ids.begin(), ids.end());
  const std::int64_t lo = *lo_it;
  // Width of [lo, hi] without signed overflow.
  const std::uint64_t span = static_cast<std::uint64_t>(*hi_it) - static_cast<std::uint64_t>(lo);
  out.reserve(std::min<std::size_t>(ids.size(), span + 1));
  // Face ids are dense: a bitmap over their range is the fast path. Sparse
  // or wild values fall back to a hash set.
  if (span < 16 * static_cast<std::uint64_t>(ids.size()) + (1u << 16)) {
    std::vector<bool> seen(static_cast<std::size_t>(span) + 1);
    for (const std::int64_t id : ids) {
      const auto slot = static_cast<std::size_t>(static_cast<std::uint64_t>(id) - static_cast<std::uint64_t>(lo));
      if (seen[slot]) continue;
      seen[slot] = true;
      out.push_back(id);
    }
    return out;
  }
  std::unordered_set<std::int64_t> seen;
  seen.reserve(ids.size());
  for (const std::int64_t id : ids) {
    if (seen.insert(id).second) out.push_back(id);
  }
  return out;
}

}  // namespace quarnet::mesh
