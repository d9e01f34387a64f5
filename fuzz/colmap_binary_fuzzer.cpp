// Feeds arbitrary bytes to the cameras.bin and images.bin parsers. Anything
// but a clean result or a FormatError is a bug.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "quarnet/colmap/model.hpp"
#include "quarnet/errors.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  try {
    (void)quarnet::colmap::parse_cameras_binary(bytes);
  } catch (const quarnet::FormatError&) {
  }
  try {
    for (const auto& image : quarnet::colmap::index_images_binary(bytes)) {
      std::vector<double> xys(2 * image.num_points);
      std::vector<std::int64_t> ids(image.num_points);
      quarnet::colmap::decode_points_binary(bytes, image, xys.data(), ids.data());
    }
  } catch (const quarnet::FormatError&) {
  }
  return 0;
}
