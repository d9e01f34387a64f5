// Unit quaternions (w, x, y, z) and rotation matrices (row-major 3x3).
#pragma once

#include <array>

namespace quarnet::colmap {

using Quat = std::array<double, 4>;
using Mat3 = std::array<double, 9>;

// The rotation matrix of a unit quaternion (w, x, y, z).
Mat3 qvec_to_rotmat(const Quat& q);

// The unit quaternion (w, x, y, z) of a rotation matrix, with w >= 0.
Quat rotmat_to_qvec(const Mat3& r);

}  // namespace quarnet::colmap
