// Feeds arbitrary bytes to the cameras.bin and images.bin parsers, from
// memory and as a stream that delivers them a few bytes at a time. Anything
// but a clean result or a FormatError is a bug; so is a stream that parses
// otherwise than the same bytes in memory, or a valid file followed by
// endless zeros that is read further than one byte past its end.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "quarnet/colmap/model.hpp"
#include "quarnet/errors.hpp"
#include "quarnet/io/byte_reader.hpp"

namespace colmap = quarnet::colmap;

namespace {

// Delivers the bytes in pieces of 1 to 7, as a pipe might; then, when
// endless, zero bytes for ever.
class Trickle final : public quarnet::io::ByteSource {
 public:
  explicit Trickle(std::span<const std::uint8_t> bytes, bool endless = false) : bytes_(bytes), endless_(endless) {}
  std::span<const std::uint8_t> fill(std::size_t n) override {
    while (held_.size() < n && held_.size() < bytes_.size()) {
      const std::size_t piece = std::min<std::size_t>(1 + held_.size() % 7, bytes_.size() - held_.size());
      held_.insert(held_.end(), bytes_.begin() + held_.size(), bytes_.begin() + held_.size() + piece);
    }
    if (endless_ && held_.size() < n) held_.resize(n);
    return held_;
  }
  std::size_t read() const { return held_.size(); }

 private:
  std::span<const std::uint8_t> bytes_;
  bool endless_;
  std::vector<std::uint8_t> held_;
};

// A valid file followed by endless zeros is refused, read one byte past its end.
template <class Parse>
void check_endless(std::span<const std::uint8_t> bytes, Parse&& parse) {
  Trickle endless(bytes, true);
  try {
    parse(endless);
    __builtin_trap();
  } catch (const quarnet::FormatError&) {
  }
  if (endless.read() != bytes.size() + 1) __builtin_trap();
}

template <class Parse>
auto parsed(Parse&& parse) -> std::optional<decltype(parse())> {
  try {
    return parse();
  } catch (const quarnet::FormatError&) {
    return std::nullopt;
  }
}

struct Points {
  std::vector<double> xys;
  std::vector<std::int64_t> ids;
  bool operator==(const Points&) const = default;
};

std::vector<Points> points_of(std::span<const std::uint8_t> bytes, const std::vector<colmap::BinaryImage>& images) {
  std::vector<Points> out;
  for (const auto& image : images) {
    Points p{std::vector<double>(2 * image.num_points), std::vector<std::int64_t>(image.num_points)};
    colmap::decode_points_binary(bytes, image, p.xys.data(), p.ids.data());
    out.push_back(std::move(p));
  }
  return out;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](double x, double y) {
           return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y);
         });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);

  const auto cameras = parsed([&] { return colmap::parse_cameras_binary(bytes); });
  Trickle camera_stream(bytes);
  const auto streamed_cameras = parsed([&] { return colmap::parse_cameras_binary(camera_stream); });
  if (cameras.has_value() != streamed_cameras.has_value()) __builtin_trap();
  if (cameras) {
    check_endless(bytes, [](auto& source) { return colmap::parse_cameras_binary(source); });
    if (cameras->size() != streamed_cameras->size()) __builtin_trap();
    for (std::size_t i = 0; i < cameras->size(); ++i) {
      const auto &a = (*cameras)[i], &b = (*streamed_cameras)[i];
      if (a.id != b.id || a.model != b.model || a.width != b.width || a.height != b.height ||
          !same_bits(a.params, b.params))
        __builtin_trap();
    }
  }

  const auto images = parsed([&] { return colmap::index_images_binary(bytes); });
  Trickle image_stream(bytes);
  const auto streamed_images = parsed([&] { return colmap::index_images_binary(image_stream); });
  if (images.has_value() != streamed_images.has_value()) __builtin_trap();
  if (images) {
    check_endless(bytes, [](auto& source) { return colmap::index_images_binary(source); });
    const auto a = points_of(bytes, *images), b = points_of(image_stream.fill(0), *streamed_images);
    if (a.size() != b.size()) __builtin_trap();
    for (std::size_t i = 0; i < a.size(); ++i) {
      const auto &x = (*images)[i].header, &y = (*streamed_images)[i].header;
      if (x.id != y.id || x.name != y.name || x.camera_id != y.camera_id || !same_bits(a[i].xys, b[i].xys) ||
          a[i].ids != b[i].ids)
        __builtin_trap();
    }
  }
  return 0;
}
