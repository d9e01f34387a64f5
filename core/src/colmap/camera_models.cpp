#include <algorithm>
#include <array>

#include "quarnet/colmap/model.hpp"

namespace quarnet::colmap {
namespace {

constexpr std::array<CameraModel, 12> kModels{{
    {0, "SIMPLE_PINHOLE", 3},
    {1, "PINHOLE", 4},
    {2, "SIMPLE_RADIAL", 4},
    {3, "RADIAL", 5},
    {4, "OPENCV", 8},
    {5, "OPENCV_FISHEYE", 8},
    {6, "FULL_OPENCV", 12},
    {7, "FOV", 5},
    {8, "SIMPLE_RADIAL_FISHEYE", 4},
    {9, "RADIAL_FISHEYE", 5},
    {10, "THIN_PRISM_FISHEYE", 12},
    {11, "RAD_TAN_THIN_PRISM_FISHEYE", 16},
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

}  // namespace quarnet::colmap
