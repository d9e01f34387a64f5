#include <algorithm>

#include "bands.hpp"
#include "row_stream.hpp"
#include "ssim_formula.hpp"

namespace quarnet::ssim {
namespace {

using detail::R;

template <class T>
struct ForwardScratch {
  ForwardScratch(std::ptrdiff_t width, std::ptrdiff_t height)
      : stream(width, height), stats(static_cast<std::size_t>(5 * width)) {}
  detail::RowStream<T, 5> stream;  // x, y, x x, y y, x y
  std::vector<T> stats;            // their filtered rows
};

template <class T>
void forward_band(const detail::Band& b, T c1, T c2, const ImagesView<T>& v1, const ImagesView<T>& v2, T* map,
                  ForwardScratch<T>& scratch) {
  const auto [N, C, H, W] = v1.shape;
  (void)N;
  const T* p1 = v1.plane(b.n, b.c);
  const T* p2 = v2.plane(b.n, b.c);
  T* out = map + (b.n * C + b.c) * H * W;
  T* stats = scratch.stats.data();
  T* const rows[5] = {stats, stats + W, stats + 2 * W, stats + 3 * W, stats + 4 * W};
  const detail::StatRows<T> s{rows[0], rows[1], rows[2], rows[3], rows[4]};
  std::ptrdiff_t next = std::max<std::ptrdiff_t>(0, b.r0 - R);
  for (std::ptrdiff_t o = b.r0; o < b.r1; ++o) {
    for (const std::ptrdiff_t last = std::min(H - 1, o + R); next <= last; ++next) {
      detail::load_products(scratch.stream, p1, v1, p2, v2, next);
      scratch.stream.push(next);
    }
    scratch.stream.vertical(o, rows);
    detail::ssim_row(s, c1, c2, out + o * W, W);
  }
}

}  // namespace

template <class T>
void ssim_map(double c1, double c2, const ImagesView<T>& img1, const ImagesView<T>& img2, T* map, unsigned threads) {
  detail::check_shape(img1.shape, img1.shape, "img1");
  detail::check_shape(img1.shape, img2.shape, "img2");
  detail::for_each_band<ForwardScratch<T>>(img1.shape, threads, [&](const detail::Band& band, auto& scratch) {
    forward_band(band, static_cast<T>(c1), static_cast<T>(c2), img1, img2, map, scratch);
  });
}

template void ssim_map<float>(double, double, const ImagesView<float>&, const ImagesView<float>&, float*, unsigned);
template void ssim_map<double>(double, double, const ImagesView<double>&, const ImagesView<double>&, double*,
                               unsigned);

}  // namespace quarnet::ssim
