// libFuzzer target for the .npy reader. Each input is parsed in memory and
// read as a file through the streaming reader; both must accept the same
// inputs, produce the same float bits, and never size a buffer beyond what
// the bytes justify.
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/npy/format.hpp"
#include "quarnet/npy/reader.hpp"

namespace npy = quarnet::npy;

namespace {

std::optional<std::vector<float>> from_memory(std::span<const std::uint8_t> bytes) {
  try {
    const npy::Header h = npy::parse_header(bytes);
    if (h.data_size() > bytes.size()) {
      // Must be refused before any buffer is sized from the header.
      std::vector<float> none;
      npy::decode(h, bytes, none.data());
      __builtin_trap();
    }
    std::vector<float> out(h.count);
    npy::decode(h, bytes, out.data());
    return out;
  } catch (const quarnet::FormatError&) {
    return std::nullopt;
  }
}

std::optional<std::vector<float>> from_file(const std::string& path, std::size_t size) {
  try {
    npy::Reader in(path);
    if (in.header().count * sizeof(float) > 4 * static_cast<std::uint64_t>(size)) __builtin_trap();
    std::vector<float> out(in.header().count);
    in.read_float32(out.data());
    return out;
  } catch (const quarnet::FormatError& e) {
    if (std::string(e.what()).rfind(path + ": ", 0) != 0) __builtin_trap();
    return std::nullopt;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("npy_fuzzer", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0) __builtin_trap();

  const auto in_memory = from_memory({data, size});
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();
  const auto in_file = from_file(path, size);

  if (in_memory.has_value() != in_file.has_value()) __builtin_trap();
  if (in_memory) {
    if (in_memory->size() != in_file->size()) __builtin_trap();
    for (std::size_t k = 0; k < in_memory->size(); ++k) {
      if (std::bit_cast<std::uint32_t>((*in_memory)[k]) != std::bit_cast<std::uint32_t>((*in_file)[k])) __builtin_trap();
    }
  }
  return 0;
}
