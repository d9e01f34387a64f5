#include "quarnet/numeric/element.hpp"

namespace quarnet::numeric {

bool is_supported(ElementType t) noexcept {
  switch (t.kind) {
    case Kind::Bool: return t.size == 1;
    case Kind::Signed:
    case Kind::Unsigned: return t.size == 1 || t.size == 2 || t.size == 4 || t.size == 8;
    case Kind::Float: return t.size == 2 || t.size == 4 || t.size == 8;
  }
  return false;
}

float half_to_float(std::uint16_t h) noexcept {
  const std::uint32_t sign = static_cast<std::uint32_t>(h & 0x8000u) << 16;
  const std::uint32_t exponent = (h >> 10) & 0x1fu;
  const std::uint32_t mantissa = h & 0x3ffu;
  if (exponent == 0) {
    // Zero or subnormal: mantissa * 2^-24, exact in binary32.
    const float magnitude = static_cast<float>(mantissa) * 0x1p-24f;
    return sign ? -magnitude : magnitude;
  }
  const std::uint32_t bits = exponent == 0x1f ? sign | 0x7f800000u | (mantissa << 13)  // inf, NaN (payload kept)
                                              : sign | ((exponent + (127 - 15)) << 23) | (mantissa << 13);
  return std::bit_cast<float>(bits);
}

}  // namespace quarnet::numeric
