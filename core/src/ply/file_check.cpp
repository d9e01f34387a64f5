#include "quarnet/ply/file_check.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/ply/layout.hpp"

namespace quarnet::ply {
namespace {

// The bytes of an open file from `offset` to the size it had when opened.
class FileSource final : public Source {
 public:
  FileSource(int fd, const std::string& path, std::uint64_t offset, std::uint64_t size)
      : fd_(fd), path_(path), offset_(offset), size_(size) {}

  std::size_t read(std::uint8_t* out, std::size_t n) override {
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, size_ - offset_));
    std::size_t done = 0;
    while (done < n) {
      const ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset_));
      if (r < 0) {
        if (errno == EINTR) continue;
        throw OsError(errno, path_);
      }
      if (r == 0) break;  // shrunk meanwhile
      done += static_cast<std::size_t>(r);
      offset_ += static_cast<std::uint64_t>(r);
    }
    return done;
  }

  std::uint64_t skip(std::uint64_t n) override {
    n = std::min(n, size_ - offset_);
    offset_ += n;
    return n;
  }

 private:
  int fd_;
  const std::string& path_;
  std::uint64_t offset_, size_;
};

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

// The header, read in growing prefixes so that a small file costs one read.
Header read_header(int fd, const std::string& path, std::uint64_t size) {
  const std::uint64_t limit = std::min<std::uint64_t>(size, kMaxHeaderBytes + 1);
  std::vector<std::uint8_t> prefix;
  for (std::uint64_t want = std::min<std::uint64_t>(limit, 4096);; want = std::min(limit, want * 8)) {
    prefix.resize(static_cast<std::size_t>(want));
    FileSource src(fd, path, 0, want);
    prefix.resize(src.read(prefix.data(), prefix.size()));
    try {
      return parse_header(prefix);
    } catch (const TruncatedHeader&) {
      if (want == limit) throw;
    }
  }
}

}  // namespace

FileCheck check_file(const std::string& path) {
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) throw OsError(errno, path);
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) throw OsError(errno, path);
  if (!S_ISREG(st.st_mode)) throw OsError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, path);
  FileCheck out;
  out.size = static_cast<std::uint64_t>(st.st_size);
  const std::string size = std::to_string(out.size);
  try {
    const Header h = read_header(f.fd, path, out.size);
    FileSource body(f.fd, path, h.length, out.size);
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
