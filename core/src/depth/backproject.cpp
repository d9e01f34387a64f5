#include "quarnet/depth/backproject.hpp"

#include <vector>

#include "quarnet/errors.hpp"

namespace quarnet::depth {
namespace {

template <class T>
void run(const numeric::Strided2D& d, const Intrinsics& k, double* out) {
  // (u - cx) per column, as the integer grid minus cx gives it.
  std::vector<double> du(d.cols);
  for (std::size_t u = 0; u < d.cols; ++u) du[u] = static_cast<double>(static_cast<std::int64_t>(u)) - k.cx;
  for (std::size_t v = 0; v < d.rows; ++v) {
    const double dv = static_cast<double>(static_cast<std::int64_t>(v)) - k.cy;
    const std::uint8_t* row = d.at(v, 0);
    double* o = out + v * d.cols * 3;
    for (std::size_t u = 0; u < d.cols; ++u) {
      const double z = numeric::to_double(numeric::load<T>(row + static_cast<std::ptrdiff_t>(u) * d.col_stride, false));
      o[3 * u] = du[u] * z / k.fx;
      o[3 * u + 1] = dv * z / k.fy;
      o[3 * u + 2] = z;
    }
  }
}

}  // namespace

void backproject(const numeric::Strided2D& depth, const Intrinsics& k, double* out) {
  if (!numeric::is_supported(depth.type)) throw ArgumentError("backproject: unsupported depth element type");
  numeric::dispatch(depth.type, [&](auto tag) { run<decltype(tag)>(depth, k, out); });
}

}  // namespace quarnet::depth
