// Bounds-checked little-endian cursor over a byte buffer. Every read checks
// the bytes that remain first; a short buffer raises FormatError naming what
// was being read. Over a ByteSource (a stream) the buffer grows on demand by
// exactly what a read needs, so the cursor never takes more than the content
// read so far promises.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "quarnet/errors.hpp"

namespace quarnet::io {

static_assert(std::endian::native == std::endian::little, "little-endian host expected");

// Bytes that arrive on demand.
class ByteSource {
 public:
  // Reads on until at least n bytes are held or the source ends; returns
  // every byte held (earlier spans may be invalidated).
  virtual std::span<const std::uint8_t> fill(std::size_t n) = 0;

 protected:
  ~ByteSource() = default;
};

// Bytes passed in order and not held (a body walked to its end): read()
// fills up to n bytes and returns how many it gave (fewer only at the end);
// skip() moves past up to n bytes and returns how many it passed.
class ByteStream {
 public:
  virtual std::size_t read(std::uint8_t* out, std::size_t n) = 0;
  virtual std::uint64_t skip(std::uint64_t n) = 0;

 protected:
  ~ByteStream() = default;
};

// The bytes of a buffer as a stream.
class SpanStream final : public ByteStream {
 public:
  explicit SpanStream(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::size_t read(std::uint8_t* out, std::size_t n) override {
    const std::size_t k = n < bytes_.size() - pos_ ? n : bytes_.size() - pos_;
    if (k != 0) std::memcpy(out, bytes_.data() + pos_, k);
    pos_ += k;
    return k;
  }
  std::uint64_t skip(std::uint64_t n) override {
    const std::size_t k = n < bytes_.size() - pos_ ? static_cast<std::size_t>(n) : bytes_.size() - pos_;
    pos_ += k;
    return k;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t pos_ = 0;
};

class ByteReader {
 public:
  explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  explicit ByteReader(ByteSource& source) : bytes_(source.fill(0)), source_(&source) {}

  std::size_t offset() const noexcept { return pos_; }
  // Over a source: of the bytes read so far.
  std::size_t remaining() const noexcept { return bytes_.size() - pos_; }
  bool streaming() const noexcept { return source_ != nullptr; }
  // Over a source, looks one byte ahead.
  bool at_end() {
    if (pos_ == bytes_.size() && source_ != nullptr) bytes_ = source_->fill(pos_ + 1);
    return pos_ == bytes_.size();
  }

  // Throws unless `count` items of `item_size` bytes remain (overflow-safe).
  void require(std::uint64_t count, std::size_t item_size, std::string_view what) {
    if (item_size != 0 && count > remaining() / item_size && source_ != nullptr &&
        count <= (SIZE_MAX - pos_) / item_size)
      bytes_ = source_->fill(pos_ + static_cast<std::size_t>(count) * item_size);
    if (item_size != 0 && count > remaining() / item_size) {
      throw FormatError("truncated: " + std::string(what) + " needs " + std::to_string(count) +
                        " x " + std::to_string(item_size) + " bytes at offset " +
                        std::to_string(pos_) + ", " + std::to_string(remaining()) + " remain");
    }
  }

  template <class T>
  T read(std::string_view what) {
    static_assert(std::is_trivially_copyable_v<T>);
    require(1, sizeof(T), what);
    T value;
    std::memcpy(&value, bytes_.data() + pos_, sizeof(T));
    pos_ += sizeof(T);
    return value;
  }

  // Reads a NUL-terminated string; the terminator must lie inside the buffer.
  // Over a source it reads on no further than the terminator and the `after`
  // bytes that the format puts behind it.
  std::string read_cstring(std::string_view what, std::size_t after = 0) {
    std::size_t searched = 0;
    const void* nul = std::memchr(bytes_.data() + pos_, 0, remaining());
    while (nul == nullptr && source_ != nullptr) {
      searched = remaining();
      const std::size_t held = bytes_.size();
      bytes_ = source_->fill(held + 1 + after);
      if (bytes_.size() == held) break;
      nul = std::memchr(bytes_.data() + pos_ + searched, 0, remaining() - searched);
    }
    const auto* begin = bytes_.data() + pos_;
    if (nul == nullptr) {
      throw FormatError("truncated: " + std::string(what) + " at offset " + std::to_string(pos_) +
                        " has no terminating NUL");
    }
    const auto length = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - begin);
    std::string value(reinterpret_cast<const char*>(begin), length);
    pos_ += length + 1;
    return value;
  }

  // Returns the next `count * item_size` bytes and moves past them.
  std::span<const std::uint8_t> take(std::uint64_t count, std::size_t item_size, std::string_view what) {
    require(count, item_size, what);
    const auto n = static_cast<std::size_t>(count) * item_size;
    auto view = bytes_.subspan(pos_, n);
    pos_ += n;
    return view;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  ByteSource* source_ = nullptr;
  std::size_t pos_ = 0;
};

// Appends values in little-endian order.
class ByteWriter {
 public:
  template <class T>
  void put(T value) {
    static_assert(std::is_trivially_copyable_v<T>);
    const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
    bytes_.insert(bytes_.end(), p, p + sizeof(T));
  }
  void put_bytes(const void* data, std::size_t n) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + n);
  }
  void put_cstring(std::string_view s) {
    put_bytes(s.data(), s.size());
    bytes_.push_back(0);
  }
  void reserve(std::size_t n) { bytes_.reserve(n); }
  std::vector<std::uint8_t>& bytes() noexcept { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace quarnet::io
