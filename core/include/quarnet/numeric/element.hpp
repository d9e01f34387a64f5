// Plain numeric element types (bool, integers, IEEE floats) and a dispatch
// from a runtime description to a compile-time type, shared by the array
// readers and kernels. Elements are read with memcpy, so any alignment is
// fine; `swapped` means the stored byte order is the reverse of the host's.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <type_traits>

namespace quarnet::numeric {

enum class Kind : std::uint8_t { Bool, Signed, Unsigned, Float };

struct ElementType {
  Kind kind = Kind::Float;
  std::uint8_t size = 4;  // bytes: 1 for bool, 1/2/4/8 for integers, 2/4/8 for floats
  bool operator==(const ElementType&) const = default;
};

// True for the (kind, size) pairs the dispatch below knows.
bool is_supported(ElementType t) noexcept;

// IEEE binary16, kept as its bits.
struct Half {
  std::uint16_t bits;
};

// Exact widening of a binary16 value; NaN payloads and signs are kept.
float half_to_float(std::uint16_t h) noexcept;

template <class T>
inline T load(const std::uint8_t* p, bool swapped) noexcept {
  if constexpr (std::is_same_v<T, bool>) {
    return *p != 0;
  } else {
    using Bits = std::conditional_t<sizeof(T) == 1, std::uint8_t,
                 std::conditional_t<sizeof(T) == 2, std::uint16_t,
                 std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint64_t>>>;
    Bits bits;
    std::memcpy(&bits, p, sizeof bits);
    if constexpr (sizeof(T) == 2) {
      if (swapped) bits = __builtin_bswap16(bits);
    } else if constexpr (sizeof(T) == 4) {
      if (swapped) bits = __builtin_bswap32(bits);
    } else if constexpr (sizeof(T) == 8) {
      if (swapped) bits = __builtin_bswap64(bits);
    }
    return std::bit_cast<T>(bits);
  }
}

// The value as a float (nearest, as a C conversion rounds) or a double.
template <class T>
inline float to_float(T v) noexcept {
  if constexpr (std::is_same_v<T, Half>) {
    return half_to_float(v.bits);
  } else if constexpr (std::is_same_v<T, bool>) {
    return v ? 1.0f : 0.0f;
  } else {
    return static_cast<float>(v);
  }
}

template <class T>
inline double to_double(T v) noexcept {
  if constexpr (std::is_same_v<T, Half>) {
    return static_cast<double>(half_to_float(v.bits));
  } else if constexpr (std::is_same_v<T, bool>) {
    return v ? 1.0 : 0.0;
  } else {
    return static_cast<double>(v);
  }
}

// Calls f(T{}) with the C++ type of `t`: bool, std::int8_t ... std::uint64_t,
// Half, float or double. Throws std::invalid_argument for an unsupported type.
template <class F>
decltype(auto) dispatch(ElementType t, F&& f) {
  switch (t.kind) {
    case Kind::Bool:
      if (t.size == 1) return f(bool{});
      break;
    case Kind::Signed:
      switch (t.size) {
        case 1: return f(std::int8_t{});
        case 2: return f(std::int16_t{});
        case 4: return f(std::int32_t{});
        case 8: return f(std::int64_t{});
      }
      break;
    case Kind::Unsigned:
      switch (t.size) {
        case 1: return f(std::uint8_t{});
        case 2: return f(std::uint16_t{});
        case 4: return f(std::uint32_t{});
        case 8: return f(std::uint64_t{});
      }
      break;
    case Kind::Float:
      switch (t.size) {
        case 2: return f(Half{});
        case 4: return f(float{});
        case 8: return f(double{});
      }
      break;
  }
  throw std::invalid_argument("unsupported element type");
}

}  // namespace quarnet::numeric
