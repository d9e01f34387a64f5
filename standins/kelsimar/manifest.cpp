#include "manifest.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <span>
#include <system_error>

#include "quarnet/errors.hpp"
#include "quarnet/io/file.hpp"

namespace kelsimar {

using quarnet::OsError;

namespace {

// Length of the valid UTF-8 sequence starting at s[i], or 0.
std::size_t utf8_sequence(const std::string& s, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t n;
  std::uint32_t cp;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2, cp = c & 0x1Fu;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3, cp = c & 0x0Fu;
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4, cp = c & 0x07u;
  } else {
    return 0;
  }
  if (i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0u) != 0x80u) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3Fu);
  }
  const bool overlong = (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000);
  const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
  if (overlong || surrogate || cp > 0x10FFFF) return 0;
  return n;
}

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size();) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c < 0x20 || c == 0x7F) {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      out += esc;
    } else if (const std::size_t n = utf8_sequence(s, i); n == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD for a byte that starts no valid sequence
    } else {
      out.append(s, i, n);
      i += n;
      continue;
    }
    ++i;
  }
  return out + "\"";
}

void create_folders(const std::string& path) {
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (ec) throw OsError(ec.value(), path);
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw OsError(errno, path);
  if (!S_ISDIR(st.st_mode)) throw OsError(ENOTDIR, path);
}

// UTC with milliseconds, e.g. "2026-12-08T15:59:14.123Z".
std::string utc_timestamp(std::chrono::system_clock::time_point t) {
  using namespace std::chrono;
  const auto ms = floor<milliseconds>(t);
  const std::time_t secs = system_clock::to_time_t(floor<seconds>(ms));
  std::tm tm{};
  ::gmtime_r(&secs, &tm);
  char text[96];  // room for any int the fields could hold
  const auto millis = static_cast<int>((ms - floor<seconds>(ms)).count());
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec, millis);
  return text;
}

// The manifest as JSON, one key per line, ending in a newline. Text that is
// not valid UTF-8 has each offending byte replaced by U+FFFD.
std::string manifest_json(const ObjectRun& run, std::size_t mask_images, const std::string& started,
                          const std::string& finished) {
  std::string out = "{\n";
  out += "  \"object\": " + json_string(run.text) + ",\n";
  out += "  \"source_path\": " + json_string(run.source_path) + ",\n";
  out += "  \"mask_path\": " + json_string(run.mask_path) + ",\n";
  out += "  \"model_path\": " + json_string(run.model_path) + ",\n";
  out += "  \"images\": " + json_string(run.images) + ",\n";
  out += "  \"N4views\": " + std::to_string(run.n4views) + ",\n";
  out += "  \"checkpoint\": " + (run.checkpoint ? json_string(*run.checkpoint) : std::string("null")) + ",\n";
  out += "  \"mask_images\": " + std::to_string(mask_images) + ",\n";
  out += "  \"trained\": false,\n";
  out += "  \"started\": " + json_string(started) + ",\n";
  out += "  \"finished\": " + json_string(finished) + "\n";
  return out + "}\n";
}

}  // namespace

std::string run_object_check(const ObjectRun& run) {
  const std::string started = utc_timestamp(std::chrono::system_clock::now());
  const std::size_t masks = check_inputs(run);
  const std::string folder = (std::filesystem::path(run.model_path) / run.text).string();
  create_folders(folder);
  const std::string path = folder + "/manifest.json";
  const std::string json = manifest_json(run, masks, started, utc_timestamp(std::chrono::system_clock::now()));
  quarnet::io::write_file_atomic(path, std::span(reinterpret_cast<const std::uint8_t*>(json.data()), json.size()));
  return path;
}

}  // namespace kelsimar
