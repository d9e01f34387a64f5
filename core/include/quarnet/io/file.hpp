// Opening regular files only, whole-file reads, reads that stop where the
// content says, and crash-safe whole-file writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quarnet/io/byte_reader.hpp"

namespace quarnet::io {

// Closes a descriptor on scope exit.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept;
  int get() const noexcept { return fd_; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Opens a regular file (a link to one will do) for reading. Anything else is
// refused before it is opened, so that a pipe never blocks the open and a
// device is never read: OsError EISDIR for a folder, FormatError "a FIFO,
// not a regular file" (a socket, a character device, ...) otherwise; the
// caller names the file. Throws OsError (errno, path) when it cannot be opened.
Fd open_regular_file(const std::string& path);

// The size of an open file now. Throws OsError naming `path`.
std::uint64_t file_size(int fd, const std::string& path);

// pread() until n bytes from `offset` are in `out` or the file ends; returns
// how many arrived. Throws OsError naming `path`.
std::size_t read_at(int fd, std::uint64_t offset, std::uint8_t* out, std::size_t n, const std::string& path);

// The bytes of an open file from `offset` up to `end` (its size when it was
// opened, say) as a stream, read with read_at; a file that shrank meanwhile
// ends early.
class FileStream final : public ByteStream {
 public:
  FileStream(int fd, const std::string& path, std::uint64_t offset, std::uint64_t end)
      : fd_(fd), path_(path), offset_(offset), end_(end) {}
  std::size_t read(std::uint8_t* out, std::size_t n) override;
  std::uint64_t skip(std::uint64_t n) override;

 private:
  int fd_;
  const std::string& path_;
  std::uint64_t offset_, end_;
};

// Reads from `fd` until `out` holds n bytes or the stream ends. `out` grows
// with the bytes that arrive, never ahead of them by more than it holds, so a
// stream that promises much and delivers little costs little. Throws OsError
// naming `path`.
void read_stream(int fd, std::vector<std::uint8_t>& out, std::size_t n, const std::string& path);

// A regular file (opened by open_regular_file) read from the front, only as
// far as asked.
class FileReader final : public ByteSource {
 public:
  explicit FileReader(std::string path);
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  std::span<const std::uint8_t> fill(std::size_t n) override;
  // Reads to the end of the file (a regular file into one buffer of its size).
  std::span<const std::uint8_t> fill_all();

  const std::string& path() const noexcept { return path_; }
  std::vector<std::uint8_t> release() && { return std::move(bytes_); }

 private:
  std::string path_;
  Fd fd_;
  std::size_t size_ = 0;  // when opened
  bool ended_ = false;
  std::vector<std::uint8_t> bytes_;
};

// Reads the whole of a regular text file. A NUL byte, which no text holds,
// is a FormatError "byte offset N: ..." (binary content). Throws as
// open_regular_file, and OsError when the file cannot be read.
std::vector<std::uint8_t> read_text_file(const std::string& path);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`, so a reader never sees a partial file and an
// existing file is replaced only by a complete one. Throws OsError.
void write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace quarnet::io
