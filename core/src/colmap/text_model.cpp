// cameras.txt / images.txt as COLMAP writes them: '#' comment lines, then
//   cameras: CAMERA_ID MODEL WIDTH HEIGHT PARAMS...
//   images:  IMAGE_ID QW QX QY QZ TX TY TZ CAMERA_ID NAME
//            X Y POINT3D_ID X Y POINT3D_ID ...   (the line after, may be empty)
// The reader takes a camera's parameters as the numbers on its line, whatever
// its model; the image name is the rest of its line, surrounding blanks removed.
#include <charconv>
#include <limits>

#include "quarnet/colmap/model.hpp"
#include "quarnet/errors.hpp"

namespace quarnet::colmap {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

// Splits text into lines, numbering them from 1.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}
  bool next(std::string_view& line) {
    if (done_) return false;
    const auto nl = rest_.find('\n');
    if (nl == std::string_view::npos) {
      line = rest_;
      done_ = true;
      if (line.empty()) return false;
    } else {
      line = rest_.substr(0, nl);
      rest_.remove_prefix(nl + 1);
    }
    ++number_;
    return true;
  }
  std::size_t number() const { return number_; }

 private:
  std::string_view rest_;
  std::size_t number_ = 0;
  bool done_ = false;
};

// Reads blank-separated fields off one line.
class Fields {
 public:
  Fields(std::string_view line, std::size_t line_number) : rest_(line), line_(line_number) {}

  bool empty() {
    skip();
    return rest_.empty();
  }
  std::string_view token(const char* what) {
    skip();
    if (rest_.empty()) fail(std::string("missing ") + what);
    std::size_t n = 0;
    while (n < rest_.size() && !is_blank(rest_[n])) ++n;
    auto t = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return t;
  }
  std::string_view rest() {
    skip();
    return trim(rest_);
  }
  template <class Int>
  Int integer(const char* what) {
    auto t = token(what);
    auto digits = t;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    Int value{};
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty())
      fail(std::string(what) + " is not an integer: '" + std::string(t) + "'");
    return value;
  }
  double real(const char* what) {
    auto t = token(what);
    auto digits = t;
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    double value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec == std::errc::result_out_of_range) fail(std::string(what) + " is out of range: '" + std::string(t) + "'");
    if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty())
      fail(std::string(what) + " is not a number: '" + std::string(t) + "'");
    return value;
  }
  [[noreturn]] void fail(const std::string& message) const {
    throw FormatError("line " + std::to_string(line_) + ": " + message);
  }

 private:
  void skip() {
    while (!rest_.empty() && is_blank(rest_.front())) rest_.remove_prefix(1);
  }
  std::string_view rest_;
  std::size_t line_;
};

bool is_data_line(std::string_view line) {
  auto t = trim(line);
  return !t.empty() && t.front() != '#';
}

void put_real(std::string& out, double v) {
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

template <class Int>
void put_int(std::string& out, Int v) {
  char buf[32];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

bool bad_text_token(std::string_view s) {
  if (s.empty()) return true;
  for (char c : s)
    if (is_blank(c) || c == '\n') return true;
  return false;
}

}  // namespace

std::vector<Camera> parse_cameras_text(std::string_view text) {
  std::vector<Camera> cameras;
  Lines lines(text);
  std::string_view line;
  while (lines.next(line)) {
    if (!is_data_line(line)) continue;
    Fields f(line, lines.number());
    Camera cam;
    cam.id = f.integer<std::int64_t>("camera id");
    cam.model = std::string(f.token("camera model"));
    cam.width = f.integer<std::uint64_t>("width");
    cam.height = f.integer<std::uint64_t>("height");
    while (!f.empty()) cam.params.push_back(f.real("camera parameter"));
    cameras.push_back(std::move(cam));
  }
  return cameras;
}

std::vector<TextImage> parse_images_text(std::string_view text) {
  std::vector<TextImage> images;
  Lines lines(text);
  std::string_view line;
  while (lines.next(line)) {
    if (!is_data_line(line)) continue;
    TextImage image;
    ImageHeader& h = image.header;
    {
      Fields f(line, lines.number());
      h.id = f.integer<std::int64_t>("image id");
      for (auto& v : h.qvec) v = f.real("qvec");
      for (auto& v : h.tvec) v = f.real("tvec");
      h.camera_id = f.integer<std::int64_t>("camera id");
      h.name = std::string(f.rest());
      if (h.name.empty()) f.fail("missing image name");
      if (auto problem = pose_problem(h)) f.fail(*problem);
    }
    // The points line follows directly; a file may end without it.
    std::string_view points;
    if (lines.next(points)) {
      Fields f(points, lines.number());
      while (!f.empty()) {
        image.xys.push_back(f.real("point x"));
        if (f.empty()) f.fail("incomplete point (x, y, point3D id expected)");
        image.xys.push_back(f.real("point y"));
        if (f.empty()) f.fail("incomplete point (x, y, point3D id expected)");
        image.point3d_ids.push_back(f.integer<std::int64_t>("point3D id"));
      }
    }
    images.push_back(std::move(image));
  }
  return images;
}

std::string serialize_cameras_text(std::span<const Camera> cameras) {
  std::string out =
      "# Camera list with one line of data per camera:\n"
      "#   CAMERA_ID, MODEL, WIDTH, HEIGHT, PARAMS[]\n"
      "# Number of cameras: ";
  put_int(out, cameras.size());
  out += '\n';
  for (const auto& cam : cameras) {
    if (bad_text_token(cam.model))
      throw ArgumentError("camera " + std::to_string(cam.id) + ": model name '" + cam.model + "' cannot be written as text");
    put_int(out, cam.id);
    out += ' ';
    out += cam.model;
    out += ' ';
    put_int(out, cam.width);
    out += ' ';
    put_int(out, cam.height);
    for (double p : cam.params) {
      out += ' ';
      put_real(out, p);
    }
    out += '\n';
  }
  return out;
}

std::string serialize_images_text(std::span<const ImageView> images) {
  std::size_t observations = 0;
  for (const auto& im : images) observations += im.num_points;
  std::string out =
      "# Image list with two lines of data per image:\n"
      "#   IMAGE_ID, QW, QX, QY, QZ, TX, TY, TZ, CAMERA_ID, NAME\n"
      "#   POINTS2D[] as (X, Y, POINT3D_ID)\n"
      "# Number of images: ";
  put_int(out, images.size());
  out += ", mean observations per image: ";
  put_real(out, images.empty() ? 0.0 : static_cast<double>(observations) / static_cast<double>(images.size()));
  out += '\n';
  for (const auto& im : images) {
    const ImageHeader& h = *im.header;
    if (trim(h.name) != h.name || h.name.empty() || h.name.find('\n') != std::string::npos ||
        h.name.find('\0') != std::string::npos)
      throw ArgumentError("image " + std::to_string(h.id) + ": name '" + h.name +
                          "' cannot be written as text (empty, line break, or surrounding blanks)");
    put_int(out, h.id);
    for (double v : h.qvec) {
      out += ' ';
      put_real(out, v);
    }
    for (double v : h.tvec) {
      out += ' ';
      put_real(out, v);
    }
    out += ' ';
    put_int(out, h.camera_id);
    out += ' ';
    out += h.name;
    out += '\n';
    for (std::size_t k = 0; k < im.num_points; ++k) {
      if (k) out += ' ';
      put_real(out, im.xys[2 * k]);
      out += ' ';
      put_real(out, im.xys[2 * k + 1]);
      out += ' ';
      put_int(out, im.point3d_ids[k]);
    }
    out += '\n';
  }
  return out;
}

}  // namespace quarnet::colmap
