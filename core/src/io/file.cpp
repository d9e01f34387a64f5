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

std::string kind_of(mode_t mode) {
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  return "no regular file";
}

// Throws unless `st` is a regular file's.
void require_regular(const struct stat& st, const std::string& path) {
  if (S_ISDIR(st.st_mode)) throw OsError(EISDIR, path);
  if (!S_ISREG(st.st_mode)) throw FormatError(kind_of(st.st_mode) + ", not a regular file");
}

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

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

Fd open_regular_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw OsError(errno, path);
  require_regular(st, path);
  // Non-blocking, in case it became a FIFO meanwhile; checked again once open.
  Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (f.get() < 0) throw OsError(errno, path);
  if (::fstat(f.get(), &st) != 0) throw OsError(errno, path);
  require_regular(st, path);
  const int flags = ::fcntl(f.get(), F_GETFL);
  if (flags < 0 || ::fcntl(f.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) throw OsError(errno, path);
  return f;
}

std::uint64_t file_size(int fd, const std::string& path) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) throw OsError(errno, path);
  return static_cast<std::uint64_t>(st.st_size);
}

std::size_t read_at(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t n, const std::string& path) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd, out + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, path);
    }
    if (r == 0) break;  // the end, or the file shrank meanwhile
    done += static_cast<std::size_t>(r);
  }
  return done;
}

std::size_t FileStream::read(std::uint8_t* out, std::size_t n) {
  n = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - offset_));
  const std::size_t done = read_at(fd_, offset_, out, n, path_);
  offset_ += done;
  return done;
}

std::uint64_t FileStream::skip(std::uint64_t n) {
  n = std::min(n, end_ - offset_);
  offset_ += n;
  return n;
}

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

FileReader::FileReader(std::string path) : path_(std::move(path)), fd_(open_regular_file(path_)) {
  size_ = static_cast<std::size_t>(file_size(fd_.get(), path_));
}

std::span<const std::uint8_t> FileReader::fill(std::size_t n) {
  if (ended_ || bytes_.size() >= n) return bytes_;
  read_stream(fd_.get(), bytes_, n, path_);
  ended_ = bytes_.size() < n;
  return bytes_;
}

std::span<const std::uint8_t> FileReader::fill_all() {
  // One byte past the known size finds the end without growing the buffer.
  if (bytes_.capacity() < size_ + 1) bytes_.reserve(size_ + 1);
  while (!ended_) {
    const std::size_t want = std::max(bytes_.size() + kReadStep, size_ + 1);
    read_stream(fd_.get(), bytes_, want, path_);
    ended_ = bytes_.size() < want;
  }
  return bytes_;
}

std::vector<std::uint8_t> read_text_file(const std::string& path) {
  FileReader in(path);
  const auto bytes = in.fill_all();
  if (const void* nul = std::memchr(bytes.data(), 0, bytes.size())) {
    const auto offset = static_cast<const std::uint8_t*>(nul) - bytes.data();
    throw FormatError("byte offset " + std::to_string(offset) + ": a NUL byte, which no text file holds");
  }
  return std::move(in).release();
}

void write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::string tmp = temp_name_beside(path);
  {
    Fd f(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
    if (f.get() < 0) throw OsError(errno, path);
    try {
      write_all(f.get(), bytes.data(), bytes.size(), path);
      if (::fsync(f.get()) != 0) throw OsError(errno, path);
    } catch (...) {
      ::unlink(tmp.c_str());
      throw;
    }
    if (::close(f.release()) != 0) {
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
