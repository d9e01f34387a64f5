// Feeds arbitrary text to the cameras.txt and images.txt parsers, and writes
// back what they accept.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "quarnet/colmap/model.hpp"
#include "quarnet/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    const auto cameras = quarnet::colmap::parse_cameras_text(text);
    try {
      (void)quarnet::colmap::serialize_cameras_text(cameras);
    } catch (const quarnet::ArgumentError&) {
    }
  } catch (const quarnet::FormatError&) {
  }
  try {
    const auto images = quarnet::colmap::parse_images_text(text);
    std::vector<quarnet::colmap::ImageView> views;
    for (const auto& im : images)
      views.push_back({&im.header, im.point3d_ids.size(), im.xys.data(), im.point3d_ids.data()});
    try {
      (void)quarnet::colmap::serialize_images_text(views);
    } catch (const quarnet::ArgumentError&) {
    }
  } catch (const quarnet::FormatError&) {
  }
  return 0;
}
