#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <optional>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "quarnet/colmap/model.hpp"
#include "quarnet/colmap/rotation.hpp"
#include "quarnet/errors.hpp"
#include "quarnet/io/byte_reader.hpp"

namespace colmap = quarnet::colmap;
using Bytes = std::vector<std::uint8_t>;

namespace {

colmap::Camera pinhole() { return {7, "PINHOLE", 640, 480, {500.0, 501.5, 320.0, 240.25}}; }

struct SampleImages {
  std::vector<colmap::ImageHeader> headers{
      {3, {0.5, 0.5, -0.5, 0.5}, {1.0, -2.0, 3.5}, 7, "0003.png"},
      {9, {1.0, 0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}, 7, "dir/frame 9.jpg"},
  };
  std::vector<double> xys{1.5, 2.5, 3.25, -4.0};
  std::vector<std::int64_t> ids{42, -1};
  std::vector<colmap::ImageView> views() const {
    return {{&headers[0], 2, xys.data(), ids.data()}, {&headers[1], 0, nullptr, nullptr}};
  }
};

template <class T>
void put(Bytes& b, T v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
  b.insert(b.end(), p, p + sizeof v);
}

std::string message_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const quarnet::FormatError& e) {
    return e.what();
  }
  return "<no error>";
}

}  // namespace

TEST(ColmapBinary, CamerasRoundTrip) {
  std::vector<colmap::Camera> in{pinhole(), {8, "SIMPLE_PINHOLE", 10, 20, {1, 2, 3}},
                                 {9, "OPENCV", 1, 1, {1, 2, 3, 4, 5, 6, 7, 8}},
                                 {10, "EUCM", 4, 3, {1, 2, 3, 4, 0.5, 1}},
                                 {11, "EQUIRECTANGULAR", 640, 320, {640, 320}}};
  const Bytes bytes = colmap::serialize_cameras_binary(in);
  EXPECT_EQ(bytes.size(), 8u + 5 * 24 + (4 + 3 + 8 + 6 + 2) * 8);
  const auto out = colmap::parse_cameras_binary(bytes);
  ASSERT_EQ(out.size(), in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    EXPECT_EQ(out[i].id, in[i].id);
    EXPECT_EQ(out[i].model, in[i].model);
    EXPECT_EQ(out[i].width, in[i].width);
    EXPECT_EQ(out[i].height, in[i].height);
    EXPECT_EQ(out[i].params, in[i].params);
  }
}

TEST(ColmapBinary, ImagesRoundTripWithPoints) {
  SampleImages s;
  const auto views = s.views();
  const Bytes bytes = colmap::serialize_images_binary(views);
  const auto index = colmap::index_images_binary(bytes);
  ASSERT_EQ(index.size(), 2u);
  EXPECT_EQ(index[0].header.id, 3);
  EXPECT_EQ(index[0].header.name, "0003.png");
  EXPECT_EQ(index[0].header.qvec, s.headers[0].qvec);
  EXPECT_EQ(index[0].header.tvec, s.headers[0].tvec);
  EXPECT_EQ(index[0].header.camera_id, 7);
  EXPECT_EQ(index[1].header.name, "dir/frame 9.jpg");
  ASSERT_EQ(index[0].num_points, 2u);
  EXPECT_EQ(index[1].num_points, 0u);
  double xys[4];
  std::int64_t ids[2];
  colmap::decode_points_binary(bytes, index[0], xys, ids);
  EXPECT_EQ(std::vector<double>(xys, xys + 4), s.xys);
  EXPECT_EQ(ids[0], 42);
  EXPECT_EQ(ids[1], -1);
}

TEST(ColmapBinary, EveryTruncationIsAFormatError) {
  SampleImages s;
  const Bytes images = colmap::serialize_images_binary(s.views());
  for (std::size_t n = 0; n < images.size(); ++n) {
    Bytes cut(images.begin(), images.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(colmap::index_images_binary(cut), quarnet::FormatError) << "length " << n;
  }
  const Bytes cameras = colmap::serialize_cameras_binary(std::vector{pinhole()});
  for (std::size_t n = 0; n < cameras.size(); ++n) {
    Bytes cut(cameras.begin(), cameras.begin() + static_cast<std::ptrdiff_t>(n));
    EXPECT_THROW(colmap::parse_cameras_binary(cut), quarnet::FormatError) << "length " << n;
  }
}

TEST(ColmapBinary, HugeCountsAreRejectedBeforeAllocating) {
  Bytes b;
  put<std::uint64_t>(b, ~0ULL);
  EXPECT_NE(message_of([&] { colmap::parse_cameras_binary(b); }).find("truncated: camera records"), std::string::npos);
  EXPECT_NE(message_of([&] { colmap::index_images_binary(b); }).find("truncated: image records"), std::string::npos);

  // One image that claims 2^61 points.
  SampleImages s;
  std::vector<colmap::ImageView> one{{&s.headers[1], 0, nullptr, nullptr}};
  Bytes image = colmap::serialize_images_binary(one);
  const std::uint64_t huge = 1ULL << 61;
  std::memcpy(image.data() + image.size() - 8, &huge, 8);
  EXPECT_NE(message_of([&] { colmap::index_images_binary(image); }).find("image 0 points needs 2305843009213693952 x 24"),
            std::string::npos);
}

TEST(ColmapBinary, UnknownModelTrailingBytesAndMissingNul) {
  Bytes b;
  put<std::uint64_t>(b, 1);
  put<std::uint32_t>(b, 1);
  put<std::int32_t>(b, 99);
  put<std::uint64_t>(b, 1);
  put<std::uint64_t>(b, 1);
  for (int i = 0; i < 3; ++i) put<double>(b, 1.0);
  EXPECT_EQ(message_of([&] { colmap::parse_cameras_binary(b); }), "camera 0 (id 1): unknown camera model id 99");

  Bytes cameras = colmap::serialize_cameras_binary(std::vector{pinhole()});
  cameras.push_back(0);
  EXPECT_EQ(message_of([&] { colmap::parse_cameras_binary(cameras); }), "1 unexpected bytes after the last camera");

  SampleImages s;
  std::vector<colmap::ImageView> one{{&s.headers[1], 0, nullptr, nullptr}};
  Bytes image = colmap::serialize_images_binary(one);
  // Overwrite the name's NUL and everything after it with letters.
  const std::size_t name_at = 8 + 4 + 56 + 4;
  for (std::size_t i = name_at + s.headers[1].name.size(); i < image.size(); ++i) image[i] = 'x';
  EXPECT_NE(message_of([&] { colmap::index_images_binary(image); }).find("has no terminating NUL"), std::string::npos);
}

namespace {

// Serves `content`, then (when endless) zero bytes for ever; records how far it was read.
class Stream final : public quarnet::io::ByteSource {
 public:
  Stream(Bytes content, bool endless) : content_(std::move(content)), endless_(endless) {}
  std::span<const std::uint8_t> fill(std::size_t n) override {
    while (held_.size() < n && (endless_ || held_.size() < content_.size()))
      held_.push_back(held_.size() < content_.size() ? content_[held_.size()] : 0);
    return held_;
  }
  std::size_t read() const { return held_.size(); }

 private:
  Bytes content_, held_;
  bool endless_;
};

}  // namespace

TEST(ColmapBinary, StreamsAreReadOnlyAsFarAsTheContentPromises) {
  SampleImages s;
  const auto views = s.views();
  const Bytes cameras = colmap::serialize_cameras_binary(std::vector{pinhole()});
  const Bytes images = colmap::serialize_images_binary(views);

  Stream endless_cameras(cameras, true), endless_images(images, true);
  EXPECT_EQ(message_of([&] { colmap::parse_cameras_binary(endless_cameras); }),
            "1 or more unexpected bytes after the last camera");
  EXPECT_EQ(message_of([&] { colmap::index_images_binary(endless_images); }),
            "1 or more unexpected bytes after the last image");
  EXPECT_EQ(endless_cameras.read(), cameras.size() + 1);
  EXPECT_EQ(endless_images.read(), images.size() + 1);

  Stream whole_cameras(cameras, false), whole_images(images, false);
  EXPECT_EQ(colmap::parse_cameras_binary(whole_cameras)[0].params, pinhole().params);
  const auto index = colmap::index_images_binary(whole_images);
  ASSERT_EQ(index.size(), 2u);
  EXPECT_EQ(index[1].header.name, "dir/frame 9.jpg");
  double xys[4];
  std::int64_t ids[2];
  colmap::decode_points_binary(whole_images.fill(0), index[0], xys, ids);
  EXPECT_EQ(ids[0], 42);
  EXPECT_EQ(xys[3], -4.0);
}

TEST(ColmapBinary, WriterRejectsWhatTheFormatCannotHold) {
  colmap::Camera bad = pinhole();
  bad.params.pop_back();
  EXPECT_THROW(colmap::serialize_cameras_binary(std::vector{bad}), quarnet::ArgumentError);
  bad = pinhole();
  bad.model = "NOT_A_MODEL";
  EXPECT_THROW(colmap::serialize_cameras_binary(std::vector{bad}), quarnet::ArgumentError);
  bad = pinhole();
  bad.id = -1;
  EXPECT_THROW(colmap::serialize_cameras_binary(std::vector{bad}), quarnet::ArgumentError);
  colmap::ImageHeader h{1, {1, 0, 0, 0}, {0, 0, 0}, 1, std::string("a\0b", 3)};
  std::vector<colmap::ImageView> v{{&h, 0, nullptr, nullptr}};
  EXPECT_THROW(colmap::serialize_images_binary(v), quarnet::ArgumentError);
}

TEST(ColmapText, RoundTripIsExact) {
  std::vector<colmap::Camera> cams{pinhole(), {2, "SIMPLE_RADIAL", 3, 4, {0.1, 1e-300, -3.0000000000000004, 5e15}}};
  const auto cams_back = colmap::parse_cameras_text(colmap::serialize_cameras_text(cams));
  ASSERT_EQ(cams_back.size(), 2u);
  EXPECT_EQ(cams_back[1].params, cams[1].params);
  EXPECT_EQ(cams_back[0].model, "PINHOLE");

  SampleImages s;
  const std::string text = colmap::serialize_images_text(s.views());
  const auto images = colmap::parse_images_text(text);
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].header.qvec, s.headers[0].qvec);
  EXPECT_EQ(images[0].xys, s.xys);
  EXPECT_EQ(images[0].point3d_ids, s.ids);
  EXPECT_EQ(images[1].header.name, "dir/frame 9.jpg");
  EXPECT_TRUE(images[1].xys.empty());
}

TEST(ColmapText, ReaderToleratesCommentsBlanksCrlfAndAMissingLastPointsLine) {
  const auto cams = colmap::parse_cameras_text("# c\r\n\r\n  1 SIMPLE_PINHOLE 640 480 500 +320 240\r\n");
  ASSERT_EQ(cams.size(), 1u);
  EXPECT_EQ(cams[0].params, (std::vector<double>{500, 320, 240}));
  const auto images = colmap::parse_images_text("# header\n1 1 0 0 0 0 0 0 1 a.png  \n\n2 1 0 0 0 0 0 0 1 b.png");
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].header.name, "a.png");
  EXPECT_EQ(images[1].header.name, "b.png");
}

TEST(ColmapText, ReaderNamesTheLineThatIsWrong) {
  EXPECT_EQ(message_of([] { colmap::parse_cameras_text("# x\n1 PINHOLE 640 four 1 2 3 4\n"); }),
            "line 2: height is not an integer: 'four'");
  EXPECT_EQ(message_of([] { colmap::parse_cameras_text("1 PINHOLE\n"); }), "line 1: missing width");
  EXPECT_EQ(message_of([] { colmap::parse_images_text("1 1 0 0 0 0 0 0 1\n\n"); }), "line 1: missing image name");
  EXPECT_EQ(message_of([] { colmap::parse_images_text("1 1 0 0 0 0 0 0 1 a.png\n1 2 3 4 5\n"); }),
            "line 2: incomplete point (x, y, point3D id expected)");
  EXPECT_EQ(message_of([] { colmap::parse_images_text("1 1 0 0 0 0 0 0 1 a.png\n1 2 3.5\n"); }),
            "line 2: point3D id is not an integer: '3.5'");
  EXPECT_EQ(message_of([] { colmap::parse_images_text("1 1 0 0 1e999 0 0 0 1 a.png\n"); }),
            "line 1: qvec is out of range: '1e999'");
}

TEST(ColmapPoses, BothReadersRefuseAPoseThatIsNone) {
  const std::string no_rotation = " is no rotation (a camera pose needs a finite quaternion that is not zero)";
  const std::vector<std::pair<colmap::ImageHeader, std::string>> cases{
      {{4, {0, 0, 0, 0}, {1, 2, 3}, 1, "0004.png"}, "image 4 '0004.png': qvec (0, 0, 0, 0)" + no_rotation},
      {{5, {NAN, 0, 0, 1}, {1, 2, 3}, 1, "a b.png"}, "image 5 'a b.png': qvec (nan, 0, 0, 1)" + no_rotation},
      {{6, {1e-170, 0, 0, 0}, {0, 0, 0}, 1, "6.png"}, "image 6 '6.png': qvec (1e-170, 0, 0, 0)" + no_rotation},
      {{7, {1, 0, 0, 0}, {0, INFINITY, 0}, 1, "7.png"}, "image 7 '7.png': tvec (0, inf, 0) is not finite"},
  };
  for (const auto& [header, message] : cases) {
    const colmap::ImageView view{&header, 0, nullptr, nullptr};
    const Bytes binary = colmap::serialize_images_binary({&view, 1});
    EXPECT_EQ(message_of([&] { colmap::index_images_binary(binary); }), message);
    const std::string text = colmap::serialize_images_text({&view, 1});
    EXPECT_EQ(message_of([&] { colmap::parse_images_text(text); }), "line 5: " + message);
  }
  const colmap::ImageHeader tiny{8, {1e-150, 0, 0, 0}, {0, 0, 0}, 1, "8.png"};  // a rotation still
  EXPECT_EQ(colmap::pose_problem(tiny), std::nullopt);
}

TEST(Rotation, QuaternionMatrixRoundTrip) {
  const double h = std::sqrt(0.5);
  const auto r = colmap::qvec_to_rotmat({h, 0, 0, h});
  EXPECT_NEAR(r[1], -1.0, 1e-15);
  EXPECT_NEAR(r[3], 1.0, 1e-15);
  EXPECT_NEAR(r[8], 1.0, 1e-15);
  // Identity gives exactly (1, 0, 0, 0).
  EXPECT_EQ(colmap::rotmat_to_qvec({1, 0, 0, 0, 1, 0, 0, 0, 1}), (colmap::Quat{1, 0, 0, 0}));
  // Half turns (trace -1) go through the other branches; result has w >= 0.
  for (const colmap::Quat& q : {colmap::Quat{0, 1, 0, 0}, colmap::Quat{0, 0, 1, 0}, colmap::Quat{0, 0, 0, 1},
                                colmap::Quat{0.1, -0.7, 0.5, 0.5}, colmap::Quat{-0.3, 0.1, 0.9, -0.3}}) {
    double n = 0;
    for (double v : q) n += v * v;
    colmap::Quat unit;
    for (int i = 0; i < 4; ++i) unit[i] = q[i] / std::sqrt(n) * (q[0] < 0 ? -1 : 1);
    const auto back = colmap::rotmat_to_qvec(colmap::qvec_to_rotmat(unit));
    for (int i = 0; i < 4; ++i) EXPECT_NEAR(back[i], unit[i], 1e-12);
    EXPECT_GE(back[0], 0.0);
  }
}

TEST(CameraModels, WhereKSitsAndWhatItLeavesOut) {
  using Index = std::array<std::size_t, 4>;
  const auto* simple_radial = colmap::camera_model_by_name("SIMPLE_RADIAL");
  const auto* eucm = colmap::camera_model_by_id(16);
  const auto* equirectangular = colmap::camera_model_by_id(17);
  ASSERT_TRUE(simple_radial && eucm && equirectangular);
  EXPECT_EQ(eucm->name, "EUCM");
  EXPECT_EQ(equirectangular->name, "EQUIRECTANGULAR");
  EXPECT_EQ(colmap::pinhole_indices(simple_radial, 4), (Index{0, 0, 1, 2}));
  EXPECT_EQ(colmap::pinhole_indices(simple_radial, 2), std::nullopt);          // too few for any rule
  EXPECT_EQ(colmap::pinhole_indices(colmap::camera_model_by_name("PINHOLE"), 3), (Index{0, 0, 1, 2}));  // by count
  EXPECT_EQ(colmap::pinhole_indices(nullptr, 8), (Index{0, 1, 2, 3}));
  EXPECT_EQ(colmap::pinhole_indices(eucm, 6), (Index{0, 1, 2, 3}));
  EXPECT_EQ(colmap::pinhole_indices(equirectangular, 2), std::nullopt);
  EXPECT_EQ(colmap::pinhole_indices(equirectangular, 4), std::nullopt);         // never a focal length

  using O = colmap::Omitted;
  const std::vector<double> radial_zero{500, 320, 240, 0}, radial{500, 320, 240, -0.25};
  EXPECT_EQ(colmap::omitted_by_pinhole(*simple_radial, radial_zero), O::nothing);
  EXPECT_EQ(colmap::omitted_by_pinhole(*simple_radial, radial), O::distortion);
  EXPECT_EQ(colmap::omitted_by_pinhole(*colmap::camera_model_by_name("SIMPLE_FISHEYE"), std::vector<double>{500, 1, 2}),
            O::fisheye);
  EXPECT_EQ(colmap::omitted_by_pinhole(*eucm, std::vector<double>{5, 5, 1, 1, 0, 1}), O::nothing);  // alpha 0: pinhole
  EXPECT_EQ(colmap::omitted_by_pinhole(*eucm, std::vector<double>{5, 5, 1, 1, 0.5, 1}), O::unified);
}
