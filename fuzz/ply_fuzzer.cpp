// libFuzzer target for the PLY layout check. Each input is checked in
// memory (header, then body) and as a file; both must agree, and no count
// read from the input may take the walk past the bytes present.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/ply/file_check.hpp"
#include "quarnet/ply/layout.hpp"

namespace ply = quarnet::ply;

namespace {

// ok, or the bytes short of what the header promises (0: malformed or too long).
std::optional<std::uint64_t> in_memory(std::span<const std::uint8_t> bytes) {
  try {
    const ply::Header h = ply::parse_header(bytes);
    if (h.length > bytes.size()) __builtin_trap();
    const std::size_t body = bytes.size() - h.length;
    quarnet::io::SpanStream src(bytes.subspan(h.length));
    const ply::BodyCheck b = ply::check_body(h, src);
    if (b.complete) {
      if (b.length + b.extra > body) __builtin_trap();
      return b.extra == 0 ? std::nullopt : std::optional<std::uint64_t>(0);
    }
    if (b.length != body || b.needed <= b.length || b.where.empty()) __builtin_trap();
    return b.needed - b.length;
  } catch (const ply::TruncatedHeader&) {
    return 1;
  } catch (const quarnet::FormatError&) {
    return 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const int fd = ::memfd_create("ply_fuzzer", 0);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0) __builtin_trap();

  const auto memory = in_memory({data, size});
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) __builtin_trap();
  const ply::FileCheck file = ply::check_file(path);

  if (file.size != size || file.ok != !memory.has_value()) __builtin_trap();
  if (memory && (file.missing != *memory || file.problem.empty())) __builtin_trap();
  return 0;
}
