// Whole-file reads, reads that stop where the content says, and crash-safe
// whole-file writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quarnet/io/byte_reader.hpp"

namespace quarnet::io {

// Reads from `fd` until `out` holds n bytes or the stream ends. `out` grows
// with the bytes that arrive, never ahead of them by more than it holds, so a
// stream that promises much and delivers little costs little. Throws OsError
// naming `path`.
void read_stream(int fd, std::vector<std::uint8_t>& out, std::size_t n, const std::string& path);

// A file read from the front, only as far as asked, so that a pipe or a
// device such as /dev/zero is never read past what its reader needs. Throws
// OsError (errno and path), EISDIR for a directory.
class FileReader final : public ByteSource {
 public:
  explicit FileReader(std::string path);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  std::span<const std::uint8_t> fill(std::size_t n) override;
  // Reads to the end of the file (a regular file into one buffer of its size).
  std::span<const std::uint8_t> fill_all();

  bool regular() const noexcept { return regular_; }
  const std::string& path() const noexcept { return path_; }
  std::vector<std::uint8_t> release() && { return std::move(bytes_); }

 private:
  std::string path_;
  int fd_ = -1;
  bool regular_ = false;
  std::size_t size_ = 0;  // of a regular file, when opened
  bool ended_ = false;
  std::vector<std::uint8_t> bytes_;
};

// Reads the whole of a text file. A NUL byte, which no text holds, ends the
// read where it arrives with FormatError "byte offset N: ..." (binary content,
// or a device such as /dev/zero). Throws OsError when the file cannot be read.
std::vector<std::uint8_t> read_text_file(const std::string& path);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`, so a reader never sees a partial file and an
// existing file is replaced only by a complete one. Throws OsError.
void write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace quarnet::io
