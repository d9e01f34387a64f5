#include "object_check.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "quarnet/errors.hpp"

namespace kelsimar {

using quarnet::ArgumentError;
using quarnet::OsError;

namespace {

enum Option { kSource, kModel, kMask, kText, kImages, kN4views, kCheckpoint, kOptionCount };
constexpr std::array<std::string_view, kOptionCount> kFlags = {
    "--source-path", "--model-path", "--mask-path", "--text", "--images", "--n4views", "--checkpoint",
};

long long positive_integer(const std::string& text) {
  long long value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || text[0] == '-' || ec != std::errc() || ptr != end || value < 1)
    throw ArgumentError("--n4views must be a positive integer, got '" + text + "'");
  return value;
}

bool is_folder_name(const std::string& text) {
  return !text.empty() && text != "." && text != ".." && text.find('/') == std::string::npos;
}

bool has_mask_extension(std::string_view name) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  std::string ext;
  for (char ch : name.substr(dot + 1)) ext += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
  return ext == "png" || ext == "jpg" || ext == "jpeg" || ext == "bmp" || ext == "tif" || ext == "tiff";
}

void require_folder(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw OsError(errno, path);
  if (!S_ISDIR(st.st_mode)) throw OsError(ENOTDIR, path);
}

struct Dir {
  DIR* dir;
  ~Dir() {
    if (dir != nullptr) ::closedir(dir);
  }
};

// The mask images directly in `folder`: regular files (or links to them)
// ending in .png, .jpg, .jpeg, .bmp, .tif or .tiff, in any case. Throws OsError.
std::size_t count_mask_images(const std::string& folder) {
  Dir d{::opendir(folder.c_str())};
  if (d.dir == nullptr) throw OsError(errno, folder);
  const std::string prefix = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  std::size_t count = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d.dir);
    if (entry == nullptr) {
      if (errno != 0) throw OsError(errno, folder);
      break;
    }
    if (!has_mask_extension(entry->d_name)) continue;
    struct stat st {};
    if (::stat((prefix + entry->d_name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) ++count;
  }
  return count;
}

}  // namespace

ObjectRun parse_arguments(std::span<const std::string> args) {
  std::array<std::optional<std::string>, kOptionCount> given;
  for (std::size_t i = 0; i < args.size(); i += 2) {
    std::size_t k = 0;
    while (k < kOptionCount && kFlags[k] != args[i]) ++k;
    if (k == kOptionCount) throw ArgumentError("unknown option '" + args[i] + "'");
    if (given[k]) throw ArgumentError("option " + args[i] + " given twice");
    if (i + 1 == args.size()) throw ArgumentError("option " + args[i] + " needs a value");
    given[k] = args[i + 1];
  }
  for (std::size_t k = 0; k < kOptionCount; ++k) {
    if (k != kCheckpoint && !given[k]) throw ArgumentError("missing option " + std::string(kFlags[k]));
  }
  ObjectRun run;
  run.source_path = *given[kSource];
  run.model_path = *given[kModel];
  run.mask_path = *given[kMask];
  run.text = *given[kText];
  run.images = *given[kImages];
  run.n4views = positive_integer(*given[kN4views]);
  run.checkpoint = given[kCheckpoint];
  if (run.model_path.empty()) throw ArgumentError("--model-path is empty");
  if (!is_folder_name(run.text)) throw ArgumentError("--text must be a single folder name, got '" + run.text + "'");
  return run;
}

std::size_t check_inputs(const ObjectRun& run) {
  require_folder(run.source_path);
  require_folder(run.mask_path);
  const std::size_t masks = count_mask_images(run.mask_path);
  if (masks == 0) throw ArgumentError("no mask images in " + run.mask_path);
  if (run.checkpoint) {
    struct stat st {};
    if (::stat(run.checkpoint->c_str(), &st) != 0) throw OsError(errno, *run.checkpoint);
  }
  return masks;
}

}  // namespace kelsimar
