#include <algorithm>

#include "bands.hpp"
#include "row_stream.hpp"
#include "ssim_formula.hpp"

namespace quarnet::ssim {
namespace {

using detail::R;

template <class T>
struct BackwardScratch {
  BackwardScratch(std::ptrdiff_t width, std::ptrdiff_t height)
      : inputs(width, height), partials(width, height), rows(static_cast<std::size_t>(9 * width)) {}
  detail::RowStream<T, 5> inputs;    // x, y, x x, y y, x y
  detail::RowStream<T, 3> partials;  // g dS/dmu1, g dS/de11, g dS/de12
  std::vector<T> rows;               // 5 statistics, 3 filtered partials, the map gradient
};

template <class T>
void backward_band(const detail::Band& b, T c1, T c2, const ImagesView<T>& v1, const ImagesView<T>& v2,
                   const ImagesView<T>& vg, T* grad, BackwardScratch<T>& scratch) {
  const auto [N, C, H, W] = v1.shape;
  (void)N;
  const T* p1 = v1.plane(b.n, b.c);
  const T* p2 = v2.plane(b.n, b.c);
  const T* pg = vg.plane(b.n, b.c);
  T* out = grad + (b.n * C + b.c) * H * W;

  T* buf = scratch.rows.data();
  T* const stats[5] = {buf, buf + W, buf + 2 * W, buf + 3 * W, buf + 4 * W};
  T* const filtered[3] = {buf + 5 * W, buf + 6 * W, buf + 7 * W};
  const detail::StatRows<T> s{stats[0], stats[1], stats[2], stats[3], stats[4]};
  T* dmap = buf + 8 * W;

  std::ptrdiff_t next_in = std::max<std::ptrdiff_t>(0, b.r0 - 2 * R);
  std::ptrdiff_t next_partial = std::max<std::ptrdiff_t>(0, b.r0 - R);
  for (std::ptrdiff_t o = b.r0; o < b.r1; ++o) {
    for (const std::ptrdiff_t last = std::min(H - 1, o + R); next_partial <= last; ++next_partial) {
      for (const std::ptrdiff_t last_in = std::min(H - 1, next_partial + R); next_in <= last_in; ++next_in) {
        detail::load_products(scratch.inputs, p1, v1, p2, v2, next_in);
        scratch.inputs.push(next_in);
      }
      scratch.inputs.vertical(next_partial, stats);
      detail::load_row(pg, vg.strides[2], vg.strides[3], next_partial, W, dmap);
      detail::ssim_row_partials(s, dmap, c1, c2, scratch.partials.input(0), scratch.partials.input(1),
                                scratch.partials.input(2), W);
      scratch.partials.push(next_partial);
    }
    scratch.partials.vertical(o, filtered);
    // d/dx of G*x, G*(x x), G*(x y): 1, 2 x and y, each through the transposed
    // (for the symmetric window: the same) filter.
    T* x = stats[0];
    T* y = stats[1];
    detail::load_row(p1, v1.strides[2], v1.strides[3], o, W, x);
    detail::load_row(p2, v2.strides[2], v2.strides[3], o, W, y);
    T* __restrict row = out + o * W;
    for (std::ptrdiff_t j = 0; j < W; ++j)
      row[j] = filtered[0][j] + T(2) * x[j] * filtered[1][j] + y[j] * filtered[2][j];
  }
}

}  // namespace

template <class T>
void ssim_map_backward(double c1, double c2, const ImagesView<T>& img1, const ImagesView<T>& img2,
                       const ImagesView<T>& dmap, T* grad, unsigned threads) {
  detail::check_shape(img1.shape, img1.shape, "img1");
  detail::check_shape(img1.shape, img2.shape, "img2");
  detail::check_shape(img1.shape, dmap.shape, "dL_dmap");
  detail::for_each_band<BackwardScratch<T>>(img1.shape, threads, [&](const detail::Band& band, auto& scratch) {
    backward_band(band, static_cast<T>(c1), static_cast<T>(c2), img1, img2, dmap, grad, scratch);
  });
}

template void ssim_map_backward<float>(double, double, const ImagesView<float>&, const ImagesView<float>&,
                                       const ImagesView<float>&, float*, unsigned);
template void ssim_map_backward<double>(double, double, const ImagesView<double>&, const ImagesView<double>&,
                                        const ImagesView<double>&, double*, unsigned);

}  // namespace quarnet::ssim
