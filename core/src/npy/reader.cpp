#include "quarnet/npy/reader.hpp"

#include <algorithm>

#include "quarnet/errors.hpp"
#include "quarnet/io/file.hpp"

namespace quarnet::npy {
namespace {

constexpr std::size_t kChunkBytes = std::size_t{1} << 18;  // staging for converted types; a multiple of 8

}  // namespace

Reader::Reader(std::string path) : path_(std::move(path)) {
  try {
    fd_ = io::open_regular_file(path_);
  } catch (const FormatError& e) {
    fail(e.what());
  }
  const std::uint64_t file_size = io::file_size(fd_.get(), path_);
  std::uint8_t prefix[12];
  const std::size_t got = read_at(0, prefix, sizeof prefix);
  std::vector<std::uint8_t> head;
  try {
    head.resize(header_extent({prefix, got}));
  } catch (const FormatError& e) {
    fail(e.what());
  }
  head.resize(read_at(0, head.data(), head.size()));
  try {
    header_ = parse_header(head);
    check_data_present(header_, file_size);
  } catch (const FormatError& e) {
    fail(e.what());
  }
}

void Reader::fail(const std::string& reason) const { throw FormatError(path_ + ": " + reason); }

std::size_t Reader::read_at(std::uint64_t offset, void* dst, std::size_t n) const {
  return io::read_at(fd_.get(), offset, static_cast<std::uint8_t*>(dst), n, path_);
}

void Reader::read_float32(float* dst) {
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
