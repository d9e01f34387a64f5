// A triangle mesh written as trimesh's PLY export lays it out in binary
// (format binary_little_endian 1.0): after the header, one record per vertex
// (x, y, z as float32, then red, green, blue, alpha where there are vertex
// colours), then one per face (the count 3 as one byte, the three vertex ids
// as int32, then the colour where there are face colours). Values convert as
// numpy casts them into those records: float64 to float32 rounding to
// nearest, int64 to int32 keeping the low 32 bits.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quarnet::ply {

struct MeshRecords {
  std::span<const double> vertices;             // 3 per vertex
  std::span<const std::int64_t> faces;          // 3 per face
  std::span<const std::uint8_t> vertex_colors;  // 4 per vertex, or none
  std::span<const std::uint8_t> face_colors;    // 4 per face, or none
};

// Writes `header` and then the records into the file at `path`, created or
// emptied as open(path, "wb") does, through a buffer of a fixed size: the
// body is never whole in memory. Throws ArgumentError for colours of another
// count than their elements'; OsError naming the path where the file cannot
// be opened, and without a path where a write or the close fails (as a
// file object's write does). Stops at check_stop() (parallel/stop.hpp).
void write_mesh(const std::string& path, std::string_view header, const MeshRecords& mesh);

}  // namespace quarnet::ply
