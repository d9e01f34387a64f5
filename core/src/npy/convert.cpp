#include <cstring>

#include "quarnet/errors.hpp"
#include "quarnet/npy/format.hpp"

namespace quarnet::npy {
namespace {

template <class T>
void convert(const std::uint8_t* src, std::size_t count, bool swapped, float* dst) {
  constexpr std::size_t size = std::is_same_v<T, bool> ? 1 : sizeof(T);
  if (swapped) {
    for (std::size_t k = 0; k < count; ++k) dst[k] = numeric::to_float(numeric::load<T>(src + k * size, true));
  } else {
    for (std::size_t k = 0; k < count; ++k) dst[k] = numeric::to_float(numeric::load<T>(src + k * size, false));
  }
}

}  // namespace

void to_float32(const DType& dtype, const std::uint8_t* src, std::size_t count, float* dst) {
  if (count == 0) return;
  if (dtype.element == numeric::ElementType{numeric::Kind::Float, 4} && !dtype.swapped) {
    std::memcpy(dst, src, count * sizeof(float));
    return;
  }
  numeric::dispatch(dtype.element, [&](auto tag) { convert<decltype(tag)>(src, count, dtype.swapped, dst); });
}

void check_data_present(const Header& header, std::uint64_t file_size) {
  const std::uint64_t available = file_size > header.data_offset ? file_size - header.data_offset : 0;
  if (available < header.data_size())
    throw FormatError("data is truncated: shape " + shape_text(header.shape) + " of '" + header.descr + "' needs " +
                      std::to_string(header.data_size()) + " bytes, " + std::to_string(available) + " present");
}

void decode(const Header& header, std::span<const std::uint8_t> file, float* dst) {
  check_data_present(header, file.size());
  to_float32(header.dtype, file.data() + header.data_offset, static_cast<std::size_t>(header.count), dst);
}

}  // namespace quarnet::npy
