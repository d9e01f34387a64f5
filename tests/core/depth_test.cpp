#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "quarnet/depth/backproject.hpp"
#include "quarnet/depth/masking.hpp"
#include "quarnet/errors.hpp"

namespace depth = quarnet::depth;
namespace numeric = quarnet::numeric;

namespace {

constexpr numeric::ElementType kF32{numeric::Kind::Float, 4};
constexpr numeric::ElementType kF64{numeric::Kind::Float, 8};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

std::vector<std::array<double, 3>> points_of(const numeric::Strided2D& d, depth::Intrinsics k) {
  std::vector<std::array<double, 3>> out(d.size());
  depth::backproject(d, k, out.front().data());
  return out;
}

}  // namespace

TEST(Backproject, PixelOrderAndPinholeGeometry) {
  std::vector<float> z(481 * 821, 0.0f);
  z[240 * 821 + 320] = 2;
  z[240 * 821 + 820] = 2;
  z[480 * 821 + 320] = 2;
  const auto p = points_of(numeric::packed(z.data(), 481, 821, kF32), {500, 500, 320, 240});
  ASSERT_EQ(p.size(), z.size());
  EXPECT_EQ(p[240 * 821 + 320], (std::array<double, 3>{0, 0, 2}));
  EXPECT_EQ(p[240 * 821 + 820], (std::array<double, 3>{2, 0, 2}));
  EXPECT_EQ(p[480 * 821 + 320], (std::array<double, 3>{0, 0.96, 2}));
  EXPECT_EQ(p[0], (std::array<double, 3>{-0.0, -0.0, 0}));  // zero depth: a point at the origin

  // 2 rows x 3 columns: rows in pixel order (0,0) (1,0) (2,0) (0,1) (1,1) (2,1).
  const std::vector<float> small = {1, 1, 1, 1, 1, 1};
  const auto q = points_of(numeric::packed(small.data(), 2, 3, kF32), {1, 1, 0, 0});
  for (std::size_t r = 0; r < 6; ++r) {
    EXPECT_EQ(q[r][0], static_cast<double>(r % 3));
    EXPECT_EQ(q[r][1], static_cast<double>(r / 3));
  }
}

TEST(Backproject, EvaluatesInDoubleInTheFixedOrder) {
  const std::vector<float> z = {0.1f, -3.5f, std::nanf(""), 7e-39f, 1e30f, 0.3f};
  const depth::Intrinsics k{0.7, 3.3, 1.9, -0.1};
  const auto p = points_of(numeric::packed(z.data(), 2, 3, kF32), k);
  for (std::size_t r = 0; r < 6; ++r) {
    const double zz = static_cast<double>(z[r]);
    const double x = (static_cast<double>(r % 3) - k.cx) * zz / k.fx;
    const double y = (static_cast<double>(r / 3) - k.cy) * zz / k.fy;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(p[r][0]), std::bit_cast<std::uint64_t>(x)) << r;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(p[r][1]), std::bit_cast<std::uint64_t>(y)) << r;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(p[r][2]), std::bit_cast<std::uint64_t>(zz)) << r;
  }
  // Zero focal length follows IEEE rules.
  const auto inf = points_of(numeric::packed(z.data(), 1, 2, kF32), {0, 0, 0, 0});
  EXPECT_TRUE(std::isnan(inf[0][0]));  // (0 - 0) * z / 0
  EXPECT_EQ(inf[1][0], -std::numeric_limits<double>::infinity());
}

TEST(Backproject, WidensEveryElementTypeAndFollowsStrides) {
  const std::vector<std::uint16_t> u16 = {0, 1000, 65535, 7};
  auto p = points_of(numeric::packed(u16.data(), 2, 2, {numeric::Kind::Unsigned, 2}), {1, 1, 0, 0});
  EXPECT_EQ(p[2][2], 65535.0);
  EXPECT_EQ(p[3][0], 7.0);
  const std::vector<std::uint8_t> flags = {0, 3};
  p = points_of(numeric::packed(flags.data(), 1, 2, {numeric::Kind::Bool, 1}), {1, 1, 0, 0});
  EXPECT_EQ(p[1][2], 1.0);
  const std::vector<std::uint16_t> halves = {0x3800, 0x0001};  // 0.5, 2^-24
  p = points_of(numeric::packed(halves.data(), 1, 2, {numeric::Kind::Float, 2}), {1, 1, 0, 0});
  EXPECT_EQ(p[0][2], 0.5);
  EXPECT_EQ(p[1][2], 0x1p-24);
  const std::vector<std::int64_t> big = {(std::int64_t{1} << 53) + 1};
  p = points_of(numeric::packed(big.data(), 1, 1, {numeric::Kind::Signed, 8}), {1, 1, 0, 0});
  EXPECT_EQ(p[0][2], 0x1p53);

  // A transposed view read backwards along its rows.
  const std::vector<double> grid = {1, 2, 3, 4, 5, 6};  // 2 x 3
  const numeric::Strided2D view{reinterpret_cast<const std::uint8_t*>(&grid[2]), 3, 2, -8, 24, kF64};
  p = points_of(view, {1, 1, 0, 0});
  const double want[] = {3, 6, 2, 5, 1, 4};
  for (std::size_t r = 0; r < 6; ++r) EXPECT_EQ(p[r][2], want[r]);

  EXPECT_THROW(points_of(numeric::packed(grid.data(), 1, 1, {numeric::Kind::Float, 16}), {}), quarnet::ArgumentError);
}

TEST(Masking, ZeroesBackgroundOnlyAndPacksTheCopy) {
  const std::vector<float> depth = {1, 2, 3, 4, 5, 6};
  const std::vector<std::uint8_t> mask = {0, 1, 255, 0, 7, 0};
  std::vector<float> out(6, -1);
  depth::masked_copy(numeric::packed(depth.data(), 2, 3, kF32), 4, numeric::packed(mask.data(), 2, 3, {numeric::Kind::Unsigned, 1}),
                     reinterpret_cast<std::uint8_t*>(out.data()));
  EXPECT_EQ(out, (std::vector<float>{0, 2, 3, 0, 5, 0}));
  EXPECT_FALSE(std::signbit(out[0]));

  // 16-byte elements through a column-major view and a strided mask.
  struct Wide {
    std::uint64_t a, b;
  };
  const std::vector<Wide> wide = {{1, 1}, {2, 2}, {3, 3}, {4, 4}};  // column-major 2 x 2
  const std::vector<std::uint8_t> wide_mask = {9, 0, 0, 0, 0, 0, 9, 0};  // every other byte: 9 0 / 0 9
  std::vector<Wide> wide_out(4);
  const numeric::Strided2D values{reinterpret_cast<const std::uint8_t*>(wide.data()), 2, 2, 16, 32, {numeric::Kind::Float, 16}};
  const numeric::Strided2D m{wide_mask.data(), 2, 2, 4, 2, {numeric::Kind::Unsigned, 1}};
  depth::masked_copy(values, 16, m, reinterpret_cast<std::uint8_t*>(wide_out.data()));
  EXPECT_EQ(wide_out[0].a, 1u);
  EXPECT_EQ(wide_out[1].b, 0u);
  EXPECT_EQ(wide_out[2].a, 0u);
  EXPECT_EQ(wide_out[3].b, 4u);

  EXPECT_THROW(depth::masked_copy(numeric::packed(depth.data(), 2, 3, kF32), 4,
                                  numeric::packed(mask.data(), 3, 2, {numeric::Kind::Unsigned, 1}),
                                  reinterpret_cast<std::uint8_t*>(out.data())),
               quarnet::ArgumentError);
}

TEST(Masking, KeepsRowsWithPositiveDepthInOrder) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  const std::vector<double> pts = {1, 1, 0.5,  2, 2, 0,      3, 3, -0.0, 4, 4, kNaN,
                                   5, 5, -1,   6, 6, 1e-300, 7, 7, kInf, 8, 8, 1.7976931348623157e308};
  const auto view = numeric::packed(pts.data(), 8, 3, kF64);
  std::vector<double> out(24);
  ASSERT_EQ(depth::copy_positive_rows(view, 2, reinterpret_cast<std::uint8_t*>(out.data())), 3u);
  out.resize(9);
  EXPECT_EQ(out, (std::vector<double>{1, 1, 0.5, 6, 6, 1e-300, 8, 8, 1.7976931348623157e308}));
  // Non-finite depths of the narrower floats are dropped too: float32 +inf, float16 +inf (0x7c00) and NaN.
  const std::vector<float> f32 = {1, std::numeric_limits<float>::infinity(), 2, 3};
  std::vector<float> f32_out(4);
  EXPECT_EQ(depth::copy_positive_rows(numeric::packed(f32.data(), 2, 2, kF32), 1,
                                      reinterpret_cast<std::uint8_t*>(f32_out.data())), 1u);
  EXPECT_EQ(f32_out[0], 2.0f);
  const std::vector<std::uint16_t> f16 = {0x3c00, 0x7c00, 0x3c00, 0x7e00, 0x3c00, 0x3c00};
  std::vector<std::uint16_t> f16_out(6);
  EXPECT_EQ(depth::copy_positive_rows(numeric::packed(f16.data(), 3, 2, {numeric::Kind::Float, 2}), 1,
                                      reinterpret_cast<std::uint8_t*>(f16_out.data())), 1u);

  // Column-major float32 points, 3 x 3.
  const std::vector<float> cm = {1, 2, 3, 10, 20, 30, -1, 0, 5};
  const numeric::Strided2D cview{reinterpret_cast<const std::uint8_t*>(cm.data()), 3, 3, 4, 12, kF32};
  std::vector<float> cout_(9);
  ASSERT_EQ(depth::copy_positive_rows(cview, 2, reinterpret_cast<std::uint8_t*>(cout_.data())), 1u);
  cout_.resize(3);
  EXPECT_EQ(cout_, (std::vector<float>{3, 30, 5}));

  const std::vector<std::int16_t> ints = {1, -2, 3, 0};
  std::vector<std::int16_t> none(4);
  EXPECT_EQ(depth::copy_positive_rows(numeric::packed(ints.data(), 2, 2, {numeric::Kind::Signed, 2}), 1,
                                      reinterpret_cast<std::uint8_t*>(none.data())), 0u);
  EXPECT_THROW(depth::copy_positive_rows(view, 3, reinterpret_cast<std::uint8_t*>(out.data())), quarnet::ArgumentError);
}
