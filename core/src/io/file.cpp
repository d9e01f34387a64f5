#include "quarnet/io/file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/io/temp_file.hpp"

namespace quarnet::io {
namespace {

constexpr std::size_t kReadStep = std::size_t{1} << 16;

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

void read_stream(int fd, std::vector<std::uint8_t>& out, std::size_t n, const std::string& path) {
  while (out.size() < n) {
    const std::size_t held = out.size();
    const std::size_t room = std::min(n - held, std::max({kReadStep, held, out.capacity() - held}));
    out.resize(held + room);
    ssize_t r;
    do {
      r = ::read(fd, out.data() + held, room);
    } while (r < 0 && errno == EINTR);
    if (r < 0) {
      const int err = errno;
      out.resize(held);
      throw OsError(err, path);
    }
    out.resize(held + static_cast<std::size_t>(r));
    if (r == 0) return;
  }
}

FileReader::FileReader(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw OsError(errno, path_);
  struct stat st {};
  if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode)) {
    const int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd_);
    throw OsError(err, path_);
  }
  regular_ = S_ISREG(st.st_mode);
  if (regular_) size_ = static_cast<std::size_t>(st.st_size);
}

FileReader::~FileReader() { ::close(fd_); }

std::span<const std::uint8_t> FileReader::fill(std::size_t n) {
  if (ended_ || bytes_.size() >= n) return bytes_;
  read_stream(fd_, bytes_, n, path_);
  ended_ = bytes_.size() < n;
  return bytes_;
}

std::span<const std::uint8_t> FileReader::fill_all() {
  // One byte past the known size finds the end without growing the buffer.
  if (regular_ && bytes_.capacity() < size_ + 1) bytes_.reserve(size_ + 1);
  while (!ended_) {
    const std::size_t want = std::max(bytes_.size() + kReadStep, regular_ ? size_ + 1 : 0);
    read_stream(fd_, bytes_, want, path_);
    ended_ = bytes_.size() < want;
  }
  return bytes_;
}

std::vector<std::uint8_t> read_text_file(const std::string& path) {
  FileReader in(path);
  if (in.regular()) in.fill_all();
  for (std::size_t checked = 0;;) {
    const auto bytes = in.fill(checked + kReadStep);
    if (bytes.size() == checked) break;
    if (const void* nul = std::memchr(bytes.data() + checked, 0, bytes.size() - checked)) {
      const auto offset = static_cast<const std::uint8_t*>(nul) - bytes.data();
      throw FormatError("byte offset " + std::to_string(offset) + ": a NUL byte, which no text file holds");
    }
    checked = bytes.size();
  }
  return std::move(in).release();
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
