// COLMAP sparse-model files (cameras and images), binary and text, as COLMAP
// publishes them. Parsers trust no count in the file: every count is checked
// against the bytes that remain before anything is allocated for it. Errors
// are FormatError with a message saying what is wrong and where; the caller
// adds the file name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarnet::io {
class ByteSource;
}

namespace quarnet::colmap {

// ---- camera models -------------------------------------------------------

struct CameraModel {
  int id;
  std::string_view name;
  int num_params;
  // 1: params begin f, cx, cy; 2: fx, fy, cx, cy. The rest are distortion.
  int focal_lengths;
  bool fisheye;  // not a pinhole projection even without distortion
};

// The models COLMAP defines, by id. Returns nullptr for an unknown id/name.
const CameraModel* camera_model_by_id(std::int64_t id);
const CameraModel* camera_model_by_name(std::string_view name);

// ---- records -------------------------------------------------------------

struct Camera {
  std::int64_t id = 0;
  std::string model;  // model name, e.g. "PINHOLE"
  std::uint64_t width = 0;
  std::uint64_t height = 0;
  std::vector<double> params;
};

// An image's fixed fields. The 2-D points are kept apart so that the binary
// reader can decode them straight into caller-owned arrays.
struct ImageHeader {
  std::int64_t id = 0;
  std::array<double, 4> qvec{};  // w, x, y, z
  std::array<double, 3> tvec{};
  std::int64_t camera_id = 0;
  std::string name;
};

// An image of a binary file: its header and where its packed points lie.
struct BinaryImage {
  ImageHeader header;
  std::size_t points_offset = 0;  // byte offset of the first (x, y, id) record
  std::uint64_t num_points = 0;
};

// An image of a text file, points parsed.
struct TextImage {
  ImageHeader header;
  std::vector<double> xys;             // 2 per point
  std::vector<std::int64_t> point3d_ids;  // 1 per point
};

// A caller's image to write: points are borrowed views.
struct ImageView {
  const ImageHeader* header = nullptr;
  std::size_t num_points = 0;
  const double* xys = nullptr;             // num_points x 2, row-major
  const std::int64_t* point3d_ids = nullptr;  // num_points
};

// ---- binary --------------------------------------------------------------

// Each parser also reads from a source (a file read as far as asked): it
// takes only the bytes the content read so far promises, plus one to find the
// end, so an endless stream is refused as soon as it shows more than that.
std::vector<Camera> parse_cameras_binary(std::span<const std::uint8_t> bytes);
std::vector<Camera> parse_cameras_binary(io::ByteSource& source);

// Validates the whole file and indexes its images; points are not copied.
// Offsets refer to the bytes given, or to every byte the source then holds.
std::vector<BinaryImage> index_images_binary(std::span<const std::uint8_t> bytes);
std::vector<BinaryImage> index_images_binary(io::ByteSource& source);

// Decodes one indexed image's points into xys (num_points x 2) and ids.
void decode_points_binary(std::span<const std::uint8_t> bytes, const BinaryImage& image, double* xys,
                          std::int64_t* point3d_ids);

// Throws FormatError for a camera whose model is unknown or whose parameter
// count does not match its model, or ids/sizes out of the format's range.
std::vector<std::uint8_t> serialize_cameras_binary(std::span<const Camera> cameras);
std::vector<std::uint8_t> serialize_images_binary(std::span<const ImageView> images);

// ---- text ----------------------------------------------------------------

std::vector<Camera> parse_cameras_text(std::string_view text);
std::vector<TextImage> parse_images_text(std::string_view text);

std::string serialize_cameras_text(std::span<const Camera> cameras);
std::string serialize_images_text(std::span<const ImageView> images);

}  // namespace quarnet::colmap
