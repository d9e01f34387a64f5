// Reads a .npy file as float32 in two steps, so that the caller can size its
// buffer from the header before any data is read:
//
//   quarnet::npy::Reader in(path);             // opens, reads and checks the header
//   std::vector<float> v(in.header().count);
//   in.read_float32(v.data());                 // reads and converts in one pass
//
// The header is checked against the file's size before it is returned, so a
// buffer of header().count floats is never larger than four times the file.
// Errors: OsError (errno, path); FormatError with a message starting
// "<path>: ". A pipe or device is read no further than its header promises.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quarnet/npy/format.hpp"

namespace quarnet::npy {

class Reader {
 public:
  explicit Reader(std::string path);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  const Header& header() const noexcept { return header_; }
  const std::string& path() const noexcept { return path_; }

  // Fills dst with header().count floats, in the file's storage order
  // (Fortran order when header().fortran_order).
  void read_float32(float* dst);

 private:
  [[noreturn]] void fail(const std::string& reason) const;
  std::size_t read_at(std::uint64_t offset, void* dst, std::size_t n) const;

  std::string path_;
  int fd_ = -1;
  Header header_;
  std::vector<std::uint8_t> buffered_;  // header and data of a non-regular file, read no further
  bool is_buffered_ = false;
};

}  // namespace quarnet::npy
