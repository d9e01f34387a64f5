#include "quarnet/io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/io/temp_file.hpp"

namespace quarnet::io {
namespace {

// Closes the descriptor on scope exit.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

void write_all(int fd, const std::uint8_t* data, std::size_t n, const std::string& path) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, path);
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
}

}  // namespace

std::vector<std::uint8_t> read_file(const std::string& path) {
  Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
  if (f.fd < 0) throw OsError(errno, path);
  struct stat st {};
  if (::fstat(f.fd, &st) != 0) throw OsError(errno, path);
  if (S_ISDIR(st.st_mode)) throw OsError(EISDIR, path);
  std::vector<std::uint8_t> bytes;
  if (S_ISREG(st.st_mode) && st.st_size > 0) bytes.reserve(static_cast<std::size_t>(st.st_size));
  std::uint8_t chunk[1 << 16];
  for (;;) {
    // Read straight into the reserved storage while it lasts.
    if (bytes.capacity() > bytes.size()) {
      const std::size_t old = bytes.size();
      const std::size_t room = bytes.capacity() - old;
      bytes.resize(bytes.capacity());
      const ssize_t r = ::read(f.fd, bytes.data() + old, room);
      if (r < 0) {
        bytes.resize(old);
        if (errno == EINTR) continue;
        throw OsError(errno, path);
      }
      bytes.resize(old + static_cast<std::size_t>(r));
      if (r == 0) break;
      continue;
    }
    const ssize_t r = ::read(f.fd, chunk, sizeof chunk);
    if (r < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, path);
    }
    if (r == 0) break;
    bytes.insert(bytes.end(), chunk, chunk + r);
  }
  return bytes;
}

void write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::string tmp = temp_name_beside(path);
  {
    Fd f{::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)};
    if (f.fd < 0) throw OsError(errno, path);
    try {
      write_all(f.fd, bytes.data(), bytes.size(), path);
      if (::fsync(f.fd) != 0) throw OsError(errno, path);
    } catch (...) {
      ::unlink(tmp.c_str());
      throw;
    }
    const int fd = f.fd;
    f.fd = -1;
    if (::close(fd) != 0) {
      const int err = errno;
      ::unlink(tmp.c_str());
      throw OsError(err, path);
    }
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(tmp.c_str());
    throw OsError(err, path);
  }
}

}  // namespace quarnet::io
