#include "quarnet/ply/file_check.hpp"

#include <algorithm>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/io/file.hpp"
#include "quarnet/ply/layout.hpp"

namespace quarnet::ply {
namespace {

// The header, read in growing prefixes so that a small file costs one read.
Header read_header(int fd, const std::string& path, std::uint64_t size) {
  const std::uint64_t limit = std::min<std::uint64_t>(size, kMaxHeaderBytes + 1);
  std::vector<std::uint8_t> prefix;
  for (std::uint64_t want = std::min<std::uint64_t>(limit, 4096);; want = std::min(limit, want * 8)) {
    prefix.resize(static_cast<std::size_t>(want));
    prefix.resize(io::read_at(fd, 0, prefix.data(), prefix.size(), path));
    try {
      return parse_header(prefix);
    } catch (const TruncatedHeader&) {
      if (want == limit) throw;
    }
  }
}

}  // namespace

FileCheck check_file(const std::string& path) {
  FileCheck out;
  io::Fd f;
  try {
    f = io::open_regular_file(path);
  } catch (const FormatError& e) {  // never opened: no PLY file at all
    out.problem = e.what();
    return out;
  }
  out.size = io::file_size(f.get(), path);
  const std::string size = std::to_string(out.size);
  try {
    const Header h = read_header(f.get(), path, out.size);
    io::FileStream body(f.get(), path, h.length, out.size);
    const BodyCheck b = check_body(h, body);
    if (!b.complete) {
      const std::uint64_t needed = h.length + b.needed;
      out.missing = needed - out.size;
      out.problem = "incomplete PLY file: it holds " + size + " of " + (b.exact ? "the " : "at least ") +
                    std::to_string(needed) + " bytes its header promises (it ends in " + b.where + ")";
      return out;
    }
    if (b.extra != 0) {
      out.problem = "PLY file holds " + std::to_string(b.extra) + " bytes more than the " +
                    std::to_string(h.length + b.length) + " its header promises";
      return out;
    }
  } catch (const TruncatedHeader&) {
    out.missing = 1;
    out.problem = "incomplete PLY file: its " + size + " bytes end inside the header";
    return out;
  } catch (const FormatError& e) {
    out.problem = std::string("not a valid PLY file: ") + e.what();
    return out;
  }
  out.ok = true;
  return out;
}

}  // namespace quarnet::ply
