// Bits per sample of an image file, read from its header without decoding it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quarnet::image {

// Bytes from the start of a file that sample_bits needs.
inline constexpr std::size_t kHeaderBytes = 26;

// The bit depth of a PNG (from its IHDR chunk: 1, 2, 4, 8 or 16); nullopt for
// any other format or a header too short to tell.
std::optional<int> sample_bits(std::span<const std::uint8_t> head);

}  // namespace quarnet::image
