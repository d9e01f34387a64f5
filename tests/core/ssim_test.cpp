#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/parallel/run_tasks.hpp"
#include "quarnet/ssim/fused_ssim.hpp"

namespace ssim = quarnet::ssim;

namespace {

constexpr double kC1 = 0.0001;
constexpr double kC2 = 0.0009;

template <class T>
struct Batch {
  std::array<std::ptrdiff_t, 4> shape;
  std::vector<T> data;
  explicit Batch(std::array<std::ptrdiff_t, 4> s) : shape(s), data(static_cast<std::size_t>(s[0] * s[1] * s[2] * s[3])) {}
  std::size_t size() const { return data.size(); }
  ssim::ImagesView<T> view() const {
    return {data.data(), shape, {shape[1] * shape[2] * shape[3], shape[2] * shape[3], shape[3], 1}};
  }
  T& at(std::ptrdiff_t n, std::ptrdiff_t c, std::ptrdiff_t i, std::ptrdiff_t j) {
    return data[static_cast<std::size_t>(((n * shape[1] + c) * shape[2] + i) * shape[3] + j)];
  }
};

template <class T>
Batch<T> random_batch(std::array<std::ptrdiff_t, 4> shape, unsigned seed) {
  Batch<T> b(shape);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<double> u(0.0, 1.0);
  for (auto& v : b.data) v = static_cast<T>(u(rng));
  return b;
}

// The map by the direct 11 x 11 sum with zero padding, in double.
std::vector<double> direct_map(const Batch<double>& x, const Batch<double>& y) {
  const auto [N, C, H, W] = x.shape;
  const auto& g = ssim::gaussian_taps();
  std::vector<double> out;
  auto X = x, Y = y;
  for (std::ptrdiff_t n = 0; n < N; ++n)
    for (std::ptrdiff_t c = 0; c < C; ++c)
      for (std::ptrdiff_t i = 0; i < H; ++i)
        for (std::ptrdiff_t j = 0; j < W; ++j) {
          double m1 = 0, m2 = 0, e11 = 0, e22 = 0, e12 = 0;
          for (int a = 0; a < 11; ++a)
            for (int b = 0; b < 11; ++b) {
              const std::ptrdiff_t p = i + a - 5, q = j + b - 5;
              if (p < 0 || p >= H || q < 0 || q >= W) continue;
              const double w = g[a] * g[b], u = X.at(n, c, p, q), v = Y.at(n, c, p, q);
              m1 += w * u;
              m2 += w * v;
              e11 += w * u * u;
              e22 += w * v * v;
              e12 += w * u * v;
            }
          const double s11 = e11 - m1 * m1, s22 = e22 - m2 * m2, s12 = e12 - m1 * m2;
          out.push_back((2 * m1 * m2 + kC1) * (2 * s12 + kC2) / ((m1 * m1 + m2 * m2 + kC1) * (s11 + s22 + kC2)));
        }
  return out;
}

template <class T>
std::vector<T> fused_map(const Batch<T>& x, const Batch<T>& y, unsigned threads = 0) {
  std::vector<T> out(x.size());
  ssim::ssim_map<T>(kC1, kC2, x.view(), y.view(), out.data(), threads);
  return out;
}

}  // namespace

TEST(SsimWindow, GaussianTapsAreNormalisedAndSymmetric) {
  const auto& g = ssim::gaussian_taps();
  double sum = 0;
  for (int k = 0; k < 11; ++k) {
    sum += g[k];
    EXPECT_DOUBLE_EQ(g[k], g[10 - k]);
    EXPECT_NEAR(g[k] / g[5], std::exp(-(k - 5) * (k - 5) / 4.5), 1e-15);
  }
  EXPECT_NEAR(sum, 1.0, 1e-15);
  EXPECT_NEAR(g[5], 0.266012, 5e-7);
  EXPECT_NEAR(g[0], 0.001028, 5e-7);
}

TEST(SsimMap, MatchesTheDirectWindowSum) {
  // Planes narrower and shorter than the window, and larger than it.
  for (auto shape : {std::array<std::ptrdiff_t, 4>{1, 1, 3, 4}, {2, 3, 13, 17}, {1, 2, 40, 9}}) {
    auto x = random_batch<double>(shape, 1), y = random_batch<double>(shape, 2);
    const auto want = direct_map(x, y);
    const auto got = fused_map(x, y);
    for (std::size_t k = 0; k < want.size(); ++k) ASSERT_NEAR(got[k], want[k], 1e-12) << k;

    Batch<float> xf(shape), yf(shape);
    for (std::size_t k = 0; k < x.size(); ++k) xf.data[k] = static_cast<float>(x.data[k]);
    for (std::size_t k = 0; k < y.size(); ++k) yf.data[k] = static_cast<float>(y.data[k]);
    auto xd = x, yd = y;
    for (std::size_t k = 0; k < x.size(); ++k) xd.data[k] = xf.data[k], yd.data[k] = yf.data[k];
    const auto want_f = direct_map(xd, yd);
    const auto got_f = fused_map(xf, yf);
    for (std::size_t k = 0; k < want_f.size(); ++k) ASSERT_NEAR(got_f[k], want_f[k], 2e-6) << k;
  }
}

TEST(SsimMap, IdenticalImagesGiveOne) {
  auto x = random_batch<double>({2, 2, 20, 21}, 3);
  for (double v : fused_map(x, x)) ASSERT_NEAR(v, 1.0, 1e-12);
}

TEST(SsimMap, ConstantImagesInTheInterior) {
  Batch<double> a({1, 1, 15, 15}), b({1, 1, 15, 15});
  std::fill(a.data.begin(), a.data.end(), 0.0);
  std::fill(b.data.begin(), b.data.end(), 1.0);
  const auto map = fused_map(a, b);
  EXPECT_NEAR(map[7 * 15 + 7], kC1 / (1 + kC1), 1e-12);
}

TEST(SsimMap, ResultDoesNotDependOnThreadsOrStrides) {
  auto x = random_batch<float>({2, 3, 150, 70}, 4), y = random_batch<float>({2, 3, 150, 70}, 5);
  const auto one = fused_map(x, y, 1);
  EXPECT_EQ(one, fused_map(x, y, 2));
  EXPECT_EQ(one, fused_map(x, y, 7));

  // The same images stored channels-last and read through strides.
  const auto [N, C, H, W] = x.shape;
  std::vector<float> xs(x.size()), ys(y.size());
  for (std::ptrdiff_t n = 0; n < N; ++n)
    for (std::ptrdiff_t c = 0; c < C; ++c)
      for (std::ptrdiff_t i = 0; i < H; ++i)
        for (std::ptrdiff_t j = 0; j < W; ++j) {
          const auto k = static_cast<std::size_t>(((n * H + i) * W + j) * C + c);
          xs[k] = x.at(n, c, i, j);
          ys[k] = y.at(n, c, i, j);
        }
  const std::array<std::ptrdiff_t, 4> strides{H * W * C, 1, W * C, C};
  std::vector<float> out(x.size());
  ssim::ssim_map<float>(kC1, kC2, {xs.data(), x.shape, strides}, {ys.data(), x.shape, strides}, out.data(), 2);
  EXPECT_EQ(one, out);
}

TEST(SsimMap, DefaultThreadsKeepToTheCapAndToOneForSmallInputs) {
  const std::array<std::ptrdiff_t, 4> large{4, 3, 512, 512};  // work for 96 workers
  const unsigned hardware = std::min(quarnet::parallel::hardware_threads(), 96u);
  EXPECT_EQ(ssim::default_threads(large), hardware);
  EXPECT_EQ(ssim::default_threads(large, 1), 1u);
  EXPECT_EQ(ssim::default_threads(large, 2), std::min(hardware, 2u));
  EXPECT_EQ(ssim::default_threads({1, 3, 64, 64}), 1u);
  EXPECT_EQ(ssim::default_threads({0, 3, 64, 64}, 8), 1u);
}

TEST(SsimMap, RejectsShapeMismatchAndAcceptsEmptyBatches) {
  auto x = random_batch<double>({1, 1, 4, 4}, 6);
  Batch<double> y({1, 1, 4, 5});
  std::vector<double> out(x.size());
  EXPECT_THROW(ssim::ssim_map<double>(kC1, kC2, x.view(), y.view(), out.data()), quarnet::ArgumentError);
  auto bad = x.view();
  bad.shape[0] = -1;
  EXPECT_THROW(ssim::ssim_map<double>(kC1, kC2, bad, bad, out.data()), quarnet::ArgumentError);
  EXPECT_THROW(ssim::ssim_map_backward<double>(kC1, kC2, x.view(), x.view(), y.view(), out.data()),
               quarnet::ArgumentError);
  Batch<double> empty({0, 3, 4, 4});
  EXPECT_NO_THROW(ssim::ssim_map<double>(kC1, kC2, empty.view(), empty.view(), nullptr));
  EXPECT_NO_THROW(ssim::ssim_map_backward<double>(kC1, kC2, empty.view(), empty.view(), empty.view(), nullptr));
}

TEST(SsimBackward, MatchesCentralDifferences) {
  for (auto shape : {std::array<std::ptrdiff_t, 4>{1, 1, 6, 7}, {1, 2, 23, 19}}) {
    auto x = random_batch<double>(shape, 7), y = random_batch<double>(shape, 8), g = random_batch<double>(shape, 9);
    std::vector<double> grad(x.size());
    ssim::ssim_map_backward<double>(kC1, kC2, x.view(), y.view(), g.view(), grad.data());
    auto loss = [&] {
      const auto map = fused_map(x, y, 1);
      double l = 0;
      for (std::size_t k = 0; k < map.size(); ++k) l += g.data[k] * map[k];
      return l;
    };
    const double h = 1e-6;
    for (std::size_t k = 0; k < x.size(); ++k) {
      const double keep = x.data[k];
      x.data[k] = keep + h;
      const double up = loss();
      x.data[k] = keep - h;
      const double down = loss();
      x.data[k] = keep;
      ASSERT_NEAR(grad[k], (up - down) / (2 * h), 1e-7) << k;
    }
  }
}

TEST(SsimBackward, ReadsAStridedMapGradientAndIsThreadIndependent) {
  auto x = random_batch<float>({1, 3, 130, 40}, 10), y = random_batch<float>({1, 3, 130, 40}, 11);
  Batch<float> ones(x.shape);
  std::fill(ones.data.begin(), ones.data.end(), 0.25f);
  std::vector<float> a(x.size()), b(x.size());
  ssim::ssim_map_backward<float>(kC1, kC2, x.view(), y.view(), ones.view(), a.data(), 1);
  const float quarter = 0.25f;
  const ssim::ImagesView<float> broadcast{&quarter, x.shape, {0, 0, 0, 0}};  // an expanded scalar
  ssim::ssim_map_backward<float>(kC1, kC2, x.view(), y.view(), broadcast, b.data(), 2);
  EXPECT_EQ(a, b);
}
