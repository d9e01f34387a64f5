// PNG: an 8-byte signature, then the IHDR chunk (length, "IHDR", width,
// height, bit depth, ...), which must come first.
#include "quarnet/image/sample_depth.hpp"

#include <cstring>

namespace quarnet::image {

std::optional<int> sample_bits(std::span<const std::uint8_t> head) {
  static constexpr std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  if (head.size() < kHeaderBytes || std::memcmp(head.data(), kSignature, sizeof kSignature) != 0 ||
      std::memcmp(head.data() + 12, "IHDR", 4) != 0)
    return std::nullopt;
  return head[24];
}

}  // namespace quarnet::image
