#include <algorithm>
#include <array>

#include "quarnet/colmap/model.hpp"

namespace quarnet::colmap {
namespace {

// id, name, parameter count, focal lengths (f, cx, cy, ... or fx, fy, cx, cy, ...), fisheye
constexpr std::array<CameraModel, 16> kModels{{
    {0, "SIMPLE_PINHOLE", 3, 1, false},
    {1, "PINHOLE", 4, 2, false},
    {2, "SIMPLE_RADIAL", 4, 1, false},
    {3, "RADIAL", 5, 1, false},
    {4, "OPENCV", 8, 2, false},
    {5, "OPENCV_FISHEYE", 8, 2, true},
    {6, "FULL_OPENCV", 12, 2, false},
    {7, "FOV", 5, 2, false},
    {8, "SIMPLE_RADIAL_FISHEYE", 4, 1, true},
    {9, "RADIAL_FISHEYE", 5, 1, true},
    {10, "THIN_PRISM_FISHEYE", 12, 2, true},
    {11, "RAD_TAN_THIN_PRISM_FISHEYE", 16, 2, true},
    {12, "SIMPLE_DIVISION", 4, 1, false},
    {13, "DIVISION", 5, 2, false},
    {14, "SIMPLE_FISHEYE", 3, 1, true},
    {15, "FISHEYE", 4, 2, true},
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
