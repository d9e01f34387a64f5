// Face-id lists of the nearby-face search: the flat list gathered from the
// per-point candidate groups, and its first-appearance deduplication.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quarnet::mesh {

// The most faces one query point contributes to the list.
inline constexpr std::size_t kMaxFacesPerPoint = 20;

// Gathers the heads of candidate groups, group after group, into one flat
// list: a group of n ids contributes its first min(n, limit) ids, in order.
// Repeats across groups stay.
class FaceIdCollector {
 public:
  explicit FaceIdCollector(std::size_t limit = kMaxFacesPerPoint) noexcept : limit_(limit) {}

  // Appends room for the head of a group of `length` ids and returns it for
  // the caller to fill (min(length, limit) slots). Valid until the next
  // append.
  std::span<std::int64_t> append_group(std::size_t length);

  const std::vector<std::int64_t>& ids() const noexcept { return ids_; }

 private:
  std::size_t limit_;
  std::vector<std::int64_t> ids_;
};

// Each id of `ids` once, in order of first appearance.
std::vector<std::int64_t> unique_in_order(std::span<const std::int64_t> ids);

}  // namespace quarnet::mesh
