// Reads a .npy file as float32 in two steps, so that the caller can size its
// buffer from the header before any data is read:
//
//   quarnet::npy::Reader in(path);             // opens, reads and checks the header
//   std::vector<float> v(in.header().count);
//   in.read_float32(v.data());                 // reads and converts in one pass
//
// The header is checked against the file's size before it is returned, so a
// buffer of header().count floats is never larger than four times the file.
// Errors: OsError (errno, path; EISDIR for a folder); FormatError with a
// message starting "<path>: ", also for a file that is not a regular file
// (a pipe or a device is never opened).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "quarnet/io/file.hpp"
#include "quarnet/npy/format.hpp"

namespace quarnet::npy {

class Reader {
 public:
  explicit Reader(std::string path);
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
  io::Fd fd_;
  Header header_;
};

}  // namespace quarnet::npy
