// cameras.bin / images.bin, little-endian, as COLMAP writes them:
//   cameras.bin: u64 count, then per camera u32 id, i32 model id, u64 width,
//                u64 height, f64 params[model's count]
//   images.bin:  u64 count, then per image u32 id, f64 qvec[4], f64 tvec[3],
//                u32 camera id, NUL-terminated name, u64 point count,
//                then per point f64 x, f64 y, i64 point3D id (-1: none)
#include <cstring>
#include <limits>

#include "quarnet/colmap/model.hpp"
#include "quarnet/errors.hpp"
#include "quarnet/io/byte_reader.hpp"

namespace quarnet::colmap {
namespace {

constexpr std::size_t kMinCameraBytes = 4 + 4 + 8 + 8;
constexpr std::size_t kMinImageBytes = 4 + 4 * 8 + 3 * 8 + 4 + 1 + 8;
constexpr std::size_t kPointBytes = 8 + 8 + 8;

std::string at(const char* what, std::uint64_t index) {
  return std::string(what) + " " + std::to_string(index);
}

std::uint32_t checked_u32(std::int64_t value, const char* what) {
  if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
    throw ArgumentError(std::string(what) + " " + std::to_string(value) + " does not fit the binary format (0 to 4294967295)");
  return static_cast<std::uint32_t>(value);
}

// A stream is read one byte past the end it should have, not further.
std::string trailing_bytes(const io::ByteReader& in) {
  return std::to_string(in.remaining()) + (in.streaming() ? " or more" : "") + " unexpected bytes";
}

std::vector<Camera> parse_cameras(io::ByteReader& in) {
  const auto count = in.read<std::uint64_t>("camera count");
  in.require(count, kMinCameraBytes, "camera records");
  std::vector<Camera> cameras;
  cameras.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    Camera cam;
    const std::string where = at("camera", i);
    cam.id = in.read<std::uint32_t>(where + " id");
    const auto model_id = in.read<std::int32_t>(where + " model id");
    const CameraModel* model = camera_model_by_id(model_id);
    if (model == nullptr)
      throw FormatError(where + " (id " + std::to_string(cam.id) + "): unknown camera model id " + std::to_string(model_id));
    cam.model = std::string(model->name);
    cam.width = in.read<std::uint64_t>(where + " width");
    cam.height = in.read<std::uint64_t>(where + " height");
    auto raw = in.take(static_cast<std::uint64_t>(model->num_params), sizeof(double), where + " parameters");
    cam.params.resize(static_cast<std::size_t>(model->num_params));
    std::memcpy(cam.params.data(), raw.data(), raw.size());
    cameras.push_back(std::move(cam));
  }
  if (!in.at_end()) throw FormatError(trailing_bytes(in) + " after the last camera");
  return cameras;
}

std::vector<BinaryImage> index_images(io::ByteReader& in) {
  const auto count = in.read<std::uint64_t>("image count");
  in.require(count, kMinImageBytes, "image records");
  std::vector<BinaryImage> images;
  images.reserve(static_cast<std::size_t>(count));
  for (std::uint64_t i = 0; i < count; ++i) {
    BinaryImage image;
    ImageHeader& h = image.header;
    const std::string where = at("image", i);
    h.id = in.read<std::uint32_t>(where + " id");
    for (auto& v : h.qvec) v = in.read<double>(where + " qvec");
    for (auto& v : h.tvec) v = in.read<double>(where + " tvec");
    h.camera_id = in.read<std::uint32_t>(where + " camera id");
    h.name = in.read_cstring(where + " name", 8);  // the point count follows
    if (auto problem = pose_problem(h)) throw FormatError(*problem);
    image.num_points = in.read<std::uint64_t>(where + " point count");
    image.points_offset = in.offset();
    in.take(image.num_points, kPointBytes, where + " points");
    images.push_back(std::move(image));
  }
  if (!in.at_end()) throw FormatError(trailing_bytes(in) + " after the last image");
  return images;
}

}  // namespace

std::vector<Camera> parse_cameras_binary(std::span<const std::uint8_t> bytes) {
  io::ByteReader in(bytes);
  return parse_cameras(in);
}

std::vector<Camera> parse_cameras_binary(io::ByteSource& source) {
  io::ByteReader in(source);
  return parse_cameras(in);
}

std::vector<BinaryImage> index_images_binary(std::span<const std::uint8_t> bytes) {
  io::ByteReader in(bytes);
  return index_images(in);
}

std::vector<BinaryImage> index_images_binary(io::ByteSource& source) {
  io::ByteReader in(source);
  return index_images(in);
}

void decode_points_binary(std::span<const std::uint8_t> bytes, const BinaryImage& image, double* xys,
                          std::int64_t* point3d_ids) {
  const std::size_t n = static_cast<std::size_t>(image.num_points);
  if (image.points_offset > bytes.size() || n > (bytes.size() - image.points_offset) / kPointBytes)
    throw FormatError("image points lie outside the buffer");
  const std::uint8_t* p = bytes.data() + image.points_offset;
  for (std::size_t k = 0; k < n; ++k, p += kPointBytes) {
    std::memcpy(xys + 2 * k, p, 16);
    std::memcpy(point3d_ids + k, p + 16, 8);
  }
}

std::vector<std::uint8_t> serialize_cameras_binary(std::span<const Camera> cameras) {
  io::ByteWriter out;
  out.put<std::uint64_t>(cameras.size());
  for (const auto& cam : cameras) {
    const CameraModel* model = camera_model_by_name(cam.model);
    if (model == nullptr) throw ArgumentError("camera " + std::to_string(cam.id) + ": unknown camera model '" + cam.model + "'");
    if (cam.params.size() != static_cast<std::size_t>(model->num_params))
      throw ArgumentError("camera " + std::to_string(cam.id) + ": model " + cam.model + " takes " +
                          std::to_string(model->num_params) + " parameters, got " + std::to_string(cam.params.size()));
    out.put<std::uint32_t>(checked_u32(cam.id, "camera id"));
    out.put<std::int32_t>(model->id);
    out.put<std::uint64_t>(cam.width);
    out.put<std::uint64_t>(cam.height);
    out.put_bytes(cam.params.data(), cam.params.size() * sizeof(double));
  }
  return std::move(out.bytes());
}

std::vector<std::uint8_t> serialize_images_binary(std::span<const ImageView> images) {
  std::size_t total = 8;
  for (const auto& im : images) total += kMinImageBytes + im.header->name.size() + im.num_points * kPointBytes;
  io::ByteWriter out;
  out.reserve(total);
  out.put<std::uint64_t>(images.size());
  for (const auto& im : images) {
    const ImageHeader& h = *im.header;
    if (h.name.find('\0') != std::string::npos)
      throw ArgumentError("image " + std::to_string(h.id) + ": name contains a NUL character");
    out.put<std::uint32_t>(checked_u32(h.id, "image id"));
    for (double v : h.qvec) out.put<double>(v);
    for (double v : h.tvec) out.put<double>(v);
    out.put<std::uint32_t>(checked_u32(h.camera_id, "camera id"));
    out.put_cstring(h.name);
    out.put<std::uint64_t>(im.num_points);
    for (std::size_t k = 0; k < im.num_points; ++k) {
      out.put<double>(im.xys[2 * k]);
      out.put<double>(im.xys[2 * k + 1]);
      out.put<std::int64_t>(im.point3d_ids[k]);
    }
  }
  return std::move(out.bytes());
}

}  // namespace quarnet::colmap
