#include "quarnet/colmap/rotation.hpp"

#include <cmath>

namespace quarnet::colmap {

Mat3 qvec_to_rotmat(const Quat& q) {
  const double w = q[0], x = q[1], y = q[2], z = q[3];
  return {1 - 2 * y * y - 2 * z * z, 2 * x * y - 2 * w * z,     2 * z * x + 2 * w * y,
          2 * x * y + 2 * w * z,     1 - 2 * x * x - 2 * z * z, 2 * y * z - 2 * w * x,
          2 * z * x - 2 * w * y,     2 * y * z + 2 * w * x,     1 - 2 * x * x - 2 * y * y};
}

// Shepperd's method: divide by the largest of the four quantities 4w^2,
// 4x^2, 4y^2, 4z^2 so the result stays accurate for every rotation.
Quat rotmat_to_qvec(const Mat3& r) {
  const double m00 = r[0], m01 = r[1], m02 = r[2];
  const double m10 = r[3], m11 = r[4], m12 = r[5];
  const double m20 = r[6], m21 = r[7], m22 = r[8];
  const double trace = m00 + m11 + m22;
  Quat q;
  if (trace > 0) {
    const double s = std::sqrt(trace + 1.0) * 2;
    q = {0.25 * s, (m21 - m12) / s, (m02 - m20) / s, (m10 - m01) / s};
  } else if (m00 > m11 && m00 > m22) {
    const double s = std::sqrt(1.0 + m00 - m11 - m22) * 2;
    q = {(m21 - m12) / s, 0.25 * s, (m01 + m10) / s, (m02 + m20) / s};
  } else if (m11 > m22) {
    const double s = std::sqrt(1.0 + m11 - m00 - m22) * 2;
    q = {(m02 - m20) / s, (m01 + m10) / s, 0.25 * s, (m12 + m21) / s};
  } else {
    const double s = std::sqrt(1.0 + m22 - m00 - m11) * 2;
    q = {(m10 - m01) / s, (m02 + m20) / s, (m12 + m21) / s, 0.25 * s};
  }
  const double norm = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]);
  const double sign = q[0] < 0 ? -1.0 : 1.0;
  for (auto& v : q) v = sign * v / norm;
  return q;
}

}  // namespace quarnet::colmap
