#include "mask_reading.hpp"

#include <sys/stat.h>

#include <span>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/image/sample_depth.hpp"
#include "quarnet/io/file.hpp"

namespace quarnet::host {
namespace {

// "[Warning] ..." for a PNG mask of more than 8 bits per sample, which
// IMREAD_GRAYSCALE scales down to 8 (labels below 256 become background).
void warn_if_wide(const Namespace& ns, const py::object& mask_path, std::span<const std::uint8_t> head) {
  const auto bits = quarnet::image::sample_bits(head);
  if (bits && *bits > 8)
    ns.print(cat("[Warning] mask ", mask_path, " is a ", *bits,
                 "-bit image: it is read as 8-bit grey, so values below 256 become background (masks must be 8-bit)"));
}

bool is_utf8_text(const py::object& text) {
  if (!PyUnicode_Check(text.ptr()) || PyUnicode_AsUTF8AndSize(text.ptr(), nullptr) != nullptr) return true;
  PyErr_Clear();
  return false;
}

// The first `limit` bytes of a regular file (all of it without a limit);
// nothing for any other kind of file or one that cannot be read.
std::vector<std::uint8_t> regular_file_bytes(const std::string& fs_path, std::size_t limit) {
  std::vector<std::uint8_t> bytes;
  try {
    without_gil([&] {
      quarnet::io::FileReader file(fs_path);
      if (limit > 0) file.fill(limit); else file.fill_all();
      bytes = std::move(file).release();
    });
  } catch (const quarnet::OsError&) {
  } catch (const quarnet::FormatError&) {  // no regular file
  }
  return bytes;
}

bool is_regular_file(const std::string& fs_path) {
  struct stat st {};
  return without_gil([&] { return ::stat(fs_path.c_str(), &st) == 0 && S_ISREG(st.st_mode); });
}

// The image at `path` as cv2.imread(path, cv2.<flag>) reads it, or None; with
// `head`, also the first bytes of the file as read (empty where none were).
py::object read_image(const Namespace& ns, const py::object& path, const char* flag,
                      std::vector<std::uint8_t>* head = nullptr) {
  const std::string fs_path = fs_encode(path);
  if (!is_regular_file(fs_path)) return py::none();
  py::object cv2 = ns.cv2();
  if (is_utf8_text(path)) {
    py::object image = cv2.attr("imread")(path, cv2.attr(flag));
    if (!image.is_none() && head != nullptr) *head = regular_file_bytes(fs_path, quarnet::image::kHeaderBytes);
    return image;
  }
  std::vector<std::uint8_t> bytes = regular_file_bytes(fs_path, 0);
  if (bytes.empty()) return py::none();  // unreadable, as imread finds it
  const Numpy np = ns.np();
  py::object buffer = np.attr("frombuffer")(py::bytes(reinterpret_cast<const char*>(bytes.data()), bytes.size()),
                                             np.attr("uint8"));
  py::object image = cv2.attr("imdecode")(buffer, cv2.attr(flag));
  if (!image.is_none() && head != nullptr) *head = std::move(bytes);
  return image;
}

}  // namespace

py::object read_mask(const Namespace& ns, const py::object& mask_path, WideMasks wide) {
  if (wide == WideMasks::quiet) return read_image(ns, mask_path, "IMREAD_GRAYSCALE");
  std::vector<std::uint8_t> head;
  py::object mask = read_image(ns, mask_path, "IMREAD_GRAYSCALE", &head);
  if (!mask.is_none()) warn_if_wide(ns, mask_path, head);
  return mask;
}

py::object read_alpha(const Namespace& ns, const py::object& mask_path) {
  py::object image = read_image(ns, mask_path, "IMREAD_UNCHANGED");
  if (image.is_none()) return image;
  const py::tuple shape(image.attr("shape"));
  const long channels = shape.size() == 3 ? shape[2].cast<long>() : 1;
  if (channels != 2 && channels != 4) return py::none();  // grey + alpha, or colour + alpha
  return image[py::make_tuple(py::ellipsis(), py::int_(-1))];
}

}  // namespace quarnet::host
