// NumPy's .npy array files (format versions 1.0, 2.0 and 3.0): the header
// and the conversion of the stored elements to float32.
//
//   "\x93NUMPY" major minor  header length (u16 LE in 1.0, u32 LE in 2.0/3.0)
//   header: a Python dict literal {'descr': '<f4', 'fortran_order': False,
//           'shape': (h, w), } padded with blanks and ended by '\n'
//   data:   the elements, C or Fortran order, packed
//
// Readable element types are the plain numeric ones (bool, 1- to 8-byte
// integers, 2/4/8-byte floats) in either byte order. Every problem is a
// FormatError whose message says what is wrong; callers add the file name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quarnet/numeric/element.hpp"

namespace quarnet::npy {

// numpy's loader refuses longer headers by default; so does this one.
inline constexpr std::size_t kMaxHeaderLength = 10000;
inline constexpr std::size_t kMaxDims = 64;

struct DType {
  numeric::ElementType element;
  bool swapped = false;  // stored in the byte order opposite to the host's
};

struct Header {
  std::uint8_t major = 1;
  std::uint8_t minor = 0;
  std::string descr;  // as written, e.g. "<f4"
  DType dtype;
  bool fortran_order = false;
  std::vector<std::uint64_t> shape;
  std::uint64_t count = 1;       // elements: the product of the shape
  std::size_t data_offset = 0;   // bytes before the first element

  std::uint64_t data_size() const noexcept { return count * dtype.element.size; }
};

// Bytes taken by magic, version, length field and header text, read from the
// start of a file: `prefix` holds its first 12 bytes (or all of a shorter file).
std::size_t header_extent(std::span<const std::uint8_t> prefix);

// Parses the header at the start of `bytes`, which holds at least
// header_extent(bytes) bytes. Checks the shape against overflow, not against
// the data present.
Header parse_header(std::span<const std::uint8_t> bytes);

// The shape as Python writes a tuple: "(3, 4)", "(5,)", "()".
std::string shape_text(const std::vector<std::uint64_t>& shape);

// Converts `count` elements stored as `dtype` at `src` to the nearest float32
// (float16 widens exactly), in storage order.
void to_float32(const DType& dtype, const std::uint8_t* src, std::size_t count, float* dst);

// Throws FormatError unless a file of `file_size` bytes holds all the data
// the header promises.
void check_data_present(const Header& header, std::uint64_t file_size);

// Decodes a whole file held in memory into dst (header.count floats, storage
// order). Throws FormatError if the data is shorter than the header promises.
void decode(const Header& header, std::span<const std::uint8_t> file, float* dst);

}  // namespace quarnet::npy
