#include <array>
#include <charconv>
#include <string_view>
#include <utility>

#include "quarnet/errors.hpp"
#include "quarnet/ply/layout.hpp"

namespace quarnet::ply {
namespace {

constexpr std::array<std::pair<std::string_view, Scalar>, 16> kTypes{{
    {"char", Scalar::int8},      {"int8", Scalar::int8},       {"uchar", Scalar::uint8},
    {"uint8", Scalar::uint8},    {"short", Scalar::int16},     {"int16", Scalar::int16},
    {"ushort", Scalar::uint16},  {"uint16", Scalar::uint16},   {"int", Scalar::int32},
    {"int32", Scalar::int32},    {"uint", Scalar::uint32},     {"uint32", Scalar::uint32},
    {"float", Scalar::float32},  {"float32", Scalar::float32}, {"double", Scalar::float64},
    {"float64", Scalar::float64},
}};

[[noreturn]] void fail(std::size_t line, const std::string& what) {
  throw FormatError("PLY header line " + std::to_string(line) + ": " + what);
}

std::vector<std::string_view> tokens(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

Scalar scalar(std::string_view name, std::size_t line) {
  for (const auto& [text, type] : kTypes) {
    if (text == name) return type;
  }
  fail(line, "unknown property type '" + std::string(name) + "'");
}

bool is_integer(Scalar t) { return t != Scalar::float32 && t != Scalar::float64; }

std::uint64_t count(std::string_view text, std::size_t line) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    fail(line, "element count is not a number of at most 20 digits: '" + std::string(text) + "'");
  }
  return value;
}

}  // namespace

std::size_t size_of(Scalar type) noexcept {
  switch (type) {
    case Scalar::int8:
    case Scalar::uint8: return 1;
    case Scalar::int16:
    case Scalar::uint16: return 2;
    case Scalar::int32:
    case Scalar::uint32:
    case Scalar::float32: return 4;
    case Scalar::float64: return 8;
  }
  return 0;
}

Header parse_header(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), std::min(bytes.size(), kMaxHeaderBytes));
  Header h;
  bool have_format = false;
  std::size_t pos = 0;
  for (std::size_t number = 1;; ++number) {
    const std::size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      if (bytes.size() > kMaxHeaderBytes) {
        throw FormatError("PLY header longer than " + std::to_string(kMaxHeaderBytes) + " bytes");
      }
      throw TruncatedHeader("PLY header incomplete: no end_header line in " + std::to_string(bytes.size()) + " bytes");
    }
    std::string_view line = text.substr(pos, nl - pos);
    pos = nl + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    if (number == 1) {
      if (line != "ply") throw FormatError("not a PLY file: it does not start with the line 'ply'");
      continue;
    }
    const auto t = tokens(line);
    if (t.empty()) fail(number, "empty line");
    const std::string_view key = t[0];
    if (key == "comment" || key == "obj_info") continue;
    if (key == "end_header") {
      if (t.size() != 1) fail(number, "end_header followed by text");
      if (!have_format) fail(number, "no format line");
      h.length = pos;
      return h;
    }
    if (key == "format") {
      if (have_format) fail(number, "second format line");
      if (!h.elements.empty()) fail(number, "format line after an element");
      if (t.size() != 3) fail(number, "format line needs a format and a version");
      if (t[1] == "ascii") {
        h.format = Format::ascii;
      } else if (t[1] == "binary_little_endian") {
        h.format = Format::binary_little_endian;
      } else if (t[1] == "binary_big_endian") {
        h.format = Format::binary_big_endian;
      } else {
        fail(number, "unknown format '" + std::string(t[1]) + "'");
      }
      if (t[2] != "1.0") fail(number, "unknown version '" + std::string(t[2]) + "'");
      have_format = true;
      continue;
    }
    if (!have_format) fail(number, "'" + std::string(key) + "' before the format line");
    if (key == "element") {
      if (t.size() != 3) fail(number, "element line needs a name and a count");
      h.elements.push_back({std::string(t[1]), count(t[2], number), {}});
      continue;
    }
    if (key == "property") {
      if (h.elements.empty()) fail(number, "property before any element");
      Property p;
      if (t.size() >= 2 && t[1] == "list") {
        if (t.size() != 5) fail(number, "list property needs a count type, an item type and a name");
        p.is_list = true;
        p.count_type = scalar(t[2], number);
        if (!is_integer(p.count_type)) fail(number, "list count type '" + std::string(t[2]) + "' is not an integer type");
        p.type = scalar(t[3], number);
        p.name = t[4];
      } else {
        if (t.size() != 3) fail(number, "property needs a type and a name");
        p.type = scalar(t[1], number);
        p.name = t[2];
      }
      h.elements.back().properties.push_back(std::move(p));
      continue;
    }
    fail(number, "unknown keyword '" + std::string(key) + "'");
  }
}

}  // namespace quarnet::ply
