#include "quarnet/npy/reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "quarnet/errors.hpp"
#include "quarnet/io/file.hpp"

namespace quarnet::npy {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 18;  // staging for converted types; a multiple of 8

}  // namespace

Reader::Reader(std::string path) : path_(std::move(path)) {
  fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw OsError(errno, path_);
  try {
    struct stat st {};
    if (::fstat(fd_, &st) != 0) throw OsError(errno, path_);
    if (S_ISDIR(st.st_mode)) throw OsError(EISDIR, path_);
    std::uint64_t file_size = 0;
    std::vector<std::uint8_t> head;
    if (S_ISREG(st.st_mode)) {
      file_size = static_cast<std::uint64_t>(st.st_size);
      std::uint8_t prefix[12];
      const std::size_t got = read_at(0, prefix, sizeof prefix);
      try {
        head.resize(header_extent({prefix, got}));
      } catch (const FormatError& e) {
        fail(e.what());
      }
      head.resize(read_at(0, head.data(), head.size()));
    } else {
      // A pipe or device: header and data read in bounded steps, each only as
      // far as what came before promises, then worked on from memory.
      is_buffered_ = true;
      io::read_stream(fd_, buffered_, 12, path_);
      try {
        io::read_stream(fd_, buffered_, header_extent(buffered_), path_);
        header_ = parse_header(buffered_);
      } catch (const FormatError& e) {
        fail(e.what());
      }
      io::read_stream(fd_, buffered_, header_.data_offset + static_cast<std::size_t>(header_.data_size()), path_);
      file_size = buffered_.size();
    }
    try {
      if (!is_buffered_) header_ = parse_header(head);
      check_data_present(header_, file_size);
    } catch (const FormatError& e) {
      fail(e.what());
    }
  } catch (...) {
    ::close(fd_);
    throw;
  }
}

Reader::~Reader() { ::close(fd_); }

void Reader::fail(const std::string& reason) const { throw FormatError(path_ + ": " + reason); }

std::size_t Reader::read_at(std::uint64_t offset, void* dst, std::size_t n) const {
  auto* out = static_cast<std::uint8_t*>(dst);
  std::size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
    if (r < 0) {
      if (errno == EINTR) continue;
      throw OsError(errno, path_);
    }
    if (r == 0) break;
    done += static_cast<std::size_t>(r);
  }
  return done;
}

void Reader::read_float32(float* dst) {
  if (is_buffered_) {
    decode(header_, buffered_, dst);
    return;
  }
  const std::size_t count = static_cast<std::size_t>(header_.count);
  const std::size_t item = header_.dtype.element.size;
  const auto truncated = [&](std::size_t got) {
    fail("data is truncated: the file shrank while being read (" + std::to_string(got) + " of " +
         std::to_string(header_.data_size()) + " bytes)");
  };
  if (header_.dtype.element == numeric::ElementType{numeric::Kind::Float, 4} && !header_.dtype.swapped) {
    const std::size_t got = read_at(header_.data_offset, dst, count * sizeof(float));
    if (got != count * sizeof(float)) truncated(got);
    return;
  }
  std::vector<std::uint8_t> chunk(std::min<std::size_t>(kChunkBytes, count * item));
  const std::size_t per_chunk = kChunkBytes / item;
  for (std::size_t done = 0; done < count;) {
    const std::size_t n = std::min(per_chunk, count - done);
    const std::size_t got = read_at(header_.data_offset + done * item, chunk.data(), n * item);
    if (got != n * item) truncated(done * item + got);
    to_float32(header_.dtype, chunk.data(), n, dst + done);
    done += n;
  }
}

}  // namespace quarnet::npy
