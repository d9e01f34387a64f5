#include <algorithm>
#include <array>

#include "quarnet/colmap/model.hpp"

namespace quarnet::colmap {
namespace {

using enum Projection;

// id, name, parameter count, focal lengths, projection (COLMAP's sensor/models.h)
constexpr std::array<CameraModel, 18> kModels{{
    {0, "SIMPLE_PINHOLE", 3, 1, pinhole},
    {1, "PINHOLE", 4, 2, pinhole},
    {2, "SIMPLE_RADIAL", 4, 1, pinhole},
    {3, "RADIAL", 5, 1, pinhole},
    {4, "OPENCV", 8, 2, pinhole},
    {5, "OPENCV_FISHEYE", 8, 2, fisheye},
    {6, "FULL_OPENCV", 12, 2, pinhole},
    {7, "FOV", 5, 2, pinhole},
    {8, "SIMPLE_RADIAL_FISHEYE", 4, 1, fisheye},
    {9, "RADIAL_FISHEYE", 5, 1, fisheye},
    {10, "THIN_PRISM_FISHEYE", 12, 2, fisheye},
    {11, "RAD_TAN_THIN_PRISM_FISHEYE", 16, 2, fisheye},
    {12, "SIMPLE_DIVISION", 4, 1, pinhole},
    {13, "DIVISION", 5, 2, pinhole},
    {14, "SIMPLE_FISHEYE", 3, 1, fisheye},
    {15, "FISHEYE", 4, 2, fisheye},
    {16, "EUCM", 6, 2, unified},           // fx, fy, cx, cy, alpha, beta
    {17, "EQUIRECTANGULAR", 2, 0, spherical},  // width, height
}};

}  // namespace

const CameraModel* camera_model_by_id(std::int64_t id) {
  for (const auto& m : kModels)
    if (m.id == id) return &m;
  return nullptr;
}

const CameraModel* camera_model_by_name(std::string_view name) {
  for (const auto& m : kModels)
    if (m.name == name) return &m;
  return nullptr;
}

std::optional<std::array<std::size_t, 4>> pinhole_indices(const CameraModel* model, std::size_t num_params) {
  if (model != nullptr && model->projection == spherical) return std::nullopt;
  std::size_t focals;
  if (model != nullptr && num_params >= static_cast<std::size_t>(model->focal_lengths) + 2) {
    focals = static_cast<std::size_t>(model->focal_lengths);
  } else if (num_params >= 4) {
    focals = 2;
  } else if (num_params == 3) {
    focals = 1;
  } else {
    return std::nullopt;
  }
  return std::array<std::size_t, 4>{0, focals - 1, focals, focals + 1};
}

Omitted omitted_by_pinhole(const CameraModel& model, std::span<const double> params) {
  const auto extra = params.subspan(std::min(params.size(), static_cast<std::size_t>(model.focal_lengths) + 2));
  switch (model.projection) {
    case fisheye:
    case spherical:
      return Omitted::fisheye;
    case unified:
      return !extra.empty() && extra[0] != 0.0 ? Omitted::unified : Omitted::nothing;
    case pinhole:
      break;
  }
  return std::any_of(extra.begin(), extra.end(), [](double v) { return v != 0.0; }) ? Omitted::distortion
                                                                                      : Omitted::nothing;
}

}  // namespace quarnet::colmap
