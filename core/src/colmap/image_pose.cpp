// What makes an image record's camera pose unusable, said with the image's id
// and name: the readers refuse such a record rather than hand it on (a zero
// quaternion would become the identity, a NaN one an error far from the file).
#include <charconv>
#include <cmath>
#include <span>

#include "quarnet/colmap/model.hpp"

namespace quarnet::colmap {
namespace {

// (a, b, c) with each number in its shortest exact form (nan, inf included).
std::string numbers(std::span<const double> values) {
  std::string out = "(";
  for (std::size_t k = 0; k < values.size(); ++k) {
    if (k > 0) out += ", ";
    char buffer[32];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, values[k]).ptr;
    out.append(buffer, end);
  }
  return out + ")";
}

}  // namespace

std::optional<std::string> pose_problem(const ImageHeader& image) {
  const std::string which = "image " + std::to_string(image.id) + " '" + image.name + "'";
  double squares = 0;
  for (double v : image.qvec) squares += v * v;
  if (!std::isfinite(squares) || squares == 0)
    return which + ": qvec " + numbers(image.qvec) +
           " is no rotation (a camera pose needs a finite quaternion that is not zero)";
  for (double v : image.tvec)
    if (!std::isfinite(v)) return which + ": tvec " + numbers(image.tvec) + " is not finite";
  return std::nullopt;
}

}  // namespace quarnet::colmap
