#include <algorithm>
#include <string>

#include "bands.hpp"
#include "quarnet/errors.hpp"

namespace quarnet::ssim::detail {

namespace {
// Below this many pixels per worker, starting a thread costs more than it saves.
constexpr std::size_t kPixelsPerThread = 1 << 15;
// Bands per worker, so that uneven planes still share out evenly.
constexpr std::size_t kBandsPerThread = 4;
// Shorter bands spend too much on the rows they share with their neighbours.
constexpr std::ptrdiff_t kMinBandRows = 32;

std::string shape_text(const std::array<std::ptrdiff_t, 4>& shape) {
  std::string out("(");
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (d > 0) out.append(", ");
    out.append(std::to_string(shape[d]));
  }
  return out.append(")");
}
}  // namespace

void check_shape(const std::array<std::ptrdiff_t, 4>& first, const std::array<std::ptrdiff_t, 4>& shape,
                 const char* what) {
  for (auto size : shape)
    if (size < 0) throw ArgumentError(std::string(what) + " has a negative size: " + shape_text(shape));
  if (shape != first)
    throw ArgumentError(std::string(what) + " has shape " + shape_text(shape) + ", expected " + shape_text(first));
}

}  // namespace quarnet::ssim::detail

namespace quarnet::ssim {

unsigned default_threads(const std::array<std::ptrdiff_t, 4>& shape, unsigned at_most) {
  std::size_t pixels = 1;
  for (auto size : shape) pixels *= static_cast<std::size_t>(std::max<std::ptrdiff_t>(size, 0));
  unsigned threads = parallel::hardware_threads();
  if (at_most > 0) threads = std::min(threads, at_most);
  return static_cast<unsigned>(std::clamp<std::size_t>(pixels / detail::kPixelsPerThread, 1, threads));
}

}  // namespace quarnet::ssim

namespace quarnet::ssim::detail {

WorkPlan plan_work(const std::array<std::ptrdiff_t, 4>& shape, unsigned requested) {
  WorkPlan plan;
  const auto [N, C, H, W] = shape;
  if (N <= 0 || C <= 0 || H <= 0 || W <= 0) return plan;
  const auto planes = static_cast<std::size_t>(N) * static_cast<std::size_t>(C);
  const unsigned threads = requested > 0 ? requested : default_threads(shape);
  std::ptrdiff_t per_plane = 1;
  const std::size_t wanted = threads * kBandsPerThread;
  if (threads > 1 && planes < wanted) {
    per_plane = static_cast<std::ptrdiff_t>((wanted + planes - 1) / planes);
    per_plane = std::clamp<std::ptrdiff_t>(per_plane, 1, std::max<std::ptrdiff_t>(1, H / kMinBandRows));
  }
  const std::ptrdiff_t rows = (H + per_plane - 1) / per_plane;
  plan.bands.reserve(planes * static_cast<std::size_t>(per_plane));
  for (std::ptrdiff_t n = 0; n < N; ++n)
    for (std::ptrdiff_t c = 0; c < C; ++c)
      for (std::ptrdiff_t r0 = 0; r0 < H; r0 += rows) plan.bands.push_back({n, c, r0, std::min(H, r0 + rows)});
  plan.threads = static_cast<unsigned>(std::min<std::size_t>(threads, plan.bands.size()));
  return plan;
}

}  // namespace quarnet::ssim::detail
