// COLMAP sparse-model files (cameras and images), binary and text, as COLMAP
// publishes them. Parsers trust no count in the file: every count is checked
// against the bytes that remain before anything is allocated for it. Errors
// are FormatError with a message saying what is wrong and where; the caller
// adds the file name.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quarnet::io {
class ByteSource;
}

namespace quarnet::colmap {

// ---- camera models -------------------------------------------------------

// How a model projects, as far as K = [fx, fy, cx, cy] is concerned.
enum class Projection {
  pinhole,    // a pinhole projection once its distortion parameters are all zero
  fisheye,    // never a pinhole projection
  unified,    // EUCM: a pinhole projection when alpha (its fifth parameter) is zero
  spherical,  // EQUIRECTANGULAR: no focal length at all
};

struct CameraModel {
  int id;
  std::string_view name;
  int num_params;
  // 1: params begin f, cx, cy; 2: fx, fy, cx, cy; 0: no focal length. The
  // rest are distortion or projection parameters.
  int focal_lengths;
  Projection projection;
};

// The models COLMAP defines, by id. Returns nullptr for an unknown id/name.
const CameraModel* camera_model_by_id(std::int64_t id);
const CameraModel* camera_model_by_name(std::string_view name);

// Where fx, fy, cx and cy sit in a camera's `num_params` parameters: by the
// model where it is known and has that many parameters (f twice for a model
// with one focal length), else by the count (four or more: fx, fy, cx, cy;
// three: f, cx, cy). None for fewer than three, or a spherical model.
std::optional<std::array<std::size_t, 4>> pinhole_indices(const CameraModel* model, std::size_t num_params);

// What K leaves out of a known model's projection, given its parameters.
enum class Omitted { nothing, distortion, fisheye, unified };
Omitted omitted_by_pinhole(const CameraModel& model, std::span<const double> params);

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

// What makes an image's pose unusable, naming the image by id and name: a
// qvec that is zero or not finite, or a tvec that is not finite. The readers
// refuse such a record (FormatError); the writers write what they are given.
std::optional<std::string> pose_problem(const ImageHeader& image);

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
