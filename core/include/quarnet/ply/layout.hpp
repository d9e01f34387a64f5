// The layout of a PLY file (Paul Bourke's format, as trimesh and Open3D
// write it): the header's elements and properties, and the length of the
// body the header promises.
//
//   ply
//   format binary_little_endian 1.0          (or ascii, binary_big_endian)
//   comment ... / obj_info ...
//   element vertex 8
//   property float x                          (scalar)
//   element face 12
//   property list uchar int vertex_indices    (count, then count items)
//   end_header
//
// Every count read from the bytes is checked against what is present before
// it is used; a short or malformed input raises FormatError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/io/byte_reader.hpp"

namespace quarnet::ply {

enum class Format { ascii, binary_little_endian, binary_big_endian };
enum class Scalar : std::uint8_t { int8, uint8, int16, uint16, int32, uint32, float32, float64 };

std::size_t size_of(Scalar type) noexcept;

struct Property {
  std::string name;
  Scalar type = Scalar::float32;  // the item type of a list
  bool is_list = false;
  Scalar count_type = Scalar::uint8;  // lists only: an integer type
};

struct Element {
  std::string name;
  std::uint64_t count = 0;
  std::vector<Property> properties;
};

struct Header {
  Format format = Format::ascii;
  std::vector<Element> elements;
  std::size_t length = 0;  // bytes up to and including the end_header line
};

// The most bytes a header may take (comments included).
inline constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 20;

// Parses the header at the start of `bytes`; the end_header line must lie
// within them. Throws FormatError, TruncatedHeader where the bytes end
// before the end_header line (a longer prefix may hold it).
Header parse_header(std::span<const std::uint8_t> bytes);

class TruncatedHeader : public FormatError {
 public:
  using FormatError::FormatError;
};

// What a body holds against what its header promises.
struct BodyCheck {
  bool complete = false;    // every promised row is there
  std::uint64_t length = 0; // complete: the bytes the rows take (ascii: to the last row's line end); else the bytes present
  std::uint64_t needed = 0; // incomplete: the least the rows take
  bool exact = false;       // incomplete: `needed` is exact (no list among the missing rows)
  std::uint64_t extra = 0;  // complete: bytes after the rows (ascii: other than blanks and line ends)
  std::string where;        // incomplete: the row the body ends in, "element 'face', row 7 of 12"
};

// Walks the body after the header (`body` starts right after it) and checks
// it holds exactly the elements the header promises. Lists make the length
// depend on the data; a negative list count is a fault.
BodyCheck check_body(const Header& header, io::ByteStream& body);

}  // namespace quarnet::ply
