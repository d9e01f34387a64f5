#include "quarnet/mesh/indexed_mesh.hpp"

namespace quarnet::mesh {

std::optional<std::size_t> first_out_of_range(std::span<const std::int64_t> ids, std::size_t bound) noexcept {
  // Negative ids become huge as unsigned: one comparison covers both ends,
  // without a branch, so the common answer (all in range) is a quick pass.
  const auto limit = static_cast<std::uint64_t>(bound);
  std::uint64_t bad = 0;
  for (const std::int64_t id : ids) bad |= static_cast<std::uint64_t>(static_cast<std::uint64_t>(id) >= limit);
  if (bad == 0) return std::nullopt;
  std::size_t k = 0;
  while (static_cast<std::uint64_t>(ids[k]) < limit) ++k;
  return k;
}

}  // namespace quarnet::mesh
