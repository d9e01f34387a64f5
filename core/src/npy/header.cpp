// The .npy preamble and header. The header text is the subset of Python
// literal syntax that numpy writes and reads: a dict of string keys whose
// values are strings, True/False and tuples of non-negative integers (an 'L'
// suffix, written by Python 2, is accepted in format versions 1.0 and 2.0).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <string_view>

#include "quarnet/errors.hpp"
#include "quarnet/npy/format.hpp"

namespace quarnet::npy {
namespace {

constexpr std::uint8_t kMagic[6] = {0x93, 'N', 'U', 'M', 'P', 'Y'};
constexpr std::uint64_t kMaxIndex = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::size_t preamble_size(std::uint8_t major) { return major == 1 ? 10 : 12; }

struct Value {
  enum class Type { String, Bool, Tuple, Other } type = Type::Other;
  std::string text;
  bool flag = false;
  std::vector<std::uint64_t> items;
};

// Recursive-descent reader of the header dict.
class HeaderText {
 public:
  HeaderText(std::string_view text, bool long_suffix) : s_(text), long_suffix_(long_suffix) {}

  std::map<std::string, Value> dict() {
    std::map<std::string, Value> out;
    skip_blanks();
    expect('{', "'{' opening the header dict");
    skip_blanks();
    while (peek() != '}') {
      std::string key = string_literal("a string key");
      skip_blanks();
      expect(':', "':' after key '" + key + "'");
      skip_blanks();
      out[key] = value(key);
      skip_blanks();
      if (peek() == ',') {
        ++pos_;
        skip_blanks();
      } else if (peek() != '}') {
        fail("',' or '}' after the value of '" + key + "'");
      }
    }
    ++pos_;
    skip_blanks();
    if (pos_ != s_.size()) fail("the end of the header after '}'");
    return out;
  }

 private:
  [[noreturn]] void fail(const std::string& expected) const {
    throw FormatError("malformed header: expected " + expected + " at character " + std::to_string(pos_));
  }
  char peek() const { return pos_ < s_.size() ? s_[pos_] : '\0'; }
  void expect(char c, const std::string& what) {
    if (peek() != c) fail(what);
    ++pos_;
  }
  void skip_blanks() {
    while (pos_ < s_.size() && std::strchr(" \t\n\r\f\v", s_[pos_]) != nullptr && s_[pos_] != '\0') ++pos_;
  }
  bool take_word(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    const std::size_t end = pos_ + word.size();
    if (end < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[end])) || s_[end] == '_')) return false;
    pos_ = end;
    return true;
  }

  std::string string_literal(const std::string& what) {
    const char quote = peek();
    if (quote != '\'' && quote != '"') fail(what);
    const std::size_t start = ++pos_;
    while (pos_ < s_.size() && s_[pos_] != quote) {
      if (s_[pos_] == '\\' || s_[pos_] == '\n') fail("a plain string (no escapes or line breaks)");
      ++pos_;
    }
    if (pos_ == s_.size()) fail("the closing quote of a string");
    return std::string(s_.substr(start, pos_++ - start));
  }

  std::uint64_t integer() {
    if (peek() == '-') throw FormatError("shape has a negative dimension");
    const std::size_t start = pos_;
    std::uint64_t v = 0;
    bool overflow = false;
    while (pos_ < s_.size() && s_[pos_] >= '0' && s_[pos_] <= '9') {
      const auto digit = static_cast<std::uint64_t>(s_[pos_] - '0');
      if (v > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) overflow = true;
      v = v * 10 + digit;
      ++pos_;
    }
    if (pos_ == start) fail("a dimension (a non-negative integer)");
    if (s_[start] == '0' && v != 0) fail("a decimal integer without leading zeros");
    if (long_suffix_ && (peek() == 'L' || peek() == 'l')) ++pos_;
    if (overflow || v > kMaxIndex)
      throw FormatError("shape has a dimension too large: " + std::string(s_.substr(start, pos_ - start)));
    return v;
  }

  Value value(const std::string& key) {
    Value v;
    const char c = peek();
    if (c == '\'' || c == '"') {
      v.type = Value::Type::String;
      v.text = string_literal("a string");
    } else if (take_word("True")) {
      v.type = Value::Type::Bool;
      v.flag = true;
    } else if (take_word("False")) {
      v.type = Value::Type::Bool;
    } else if (c == '(') {
      ++pos_;
      skip_blanks();
      bool comma = false;
      while (peek() != ')') {
        v.items.push_back(integer());
        skip_blanks();
        if (peek() == ',') {
          comma = true;
          ++pos_;
          skip_blanks();
        } else if (peek() != ')') {
          fail("',' or ')' in the shape");
        }
      }
      ++pos_;
      // (3) is a parenthesised integer, not a tuple.
      v.type = v.items.empty() || comma ? Value::Type::Tuple : Value::Type::Other;
    } else if (c == '[' && key == "descr") {
      throw FormatError("structured dtype is not supported");
    } else if (c >= '0' && c <= '9') {
      integer();
    } else {
      fail("a value for '" + key + "'");
    }
    return v;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  bool long_suffix_;
};

DType parse_descr(const std::string& descr) {
  std::string_view d = descr;
  char order = '=';
  if (!d.empty() && std::strchr("<>|=", d.front()) != nullptr && d.front() != '\0') {
    order = d.front();
    d.remove_prefix(1);
  }
  const auto unsupported = [&](const char* why) {
    return FormatError("unsupported dtype '" + descr + "'" + why);
  };
  if (d.empty()) throw unsupported("");
  if (d == "O" || d == "O8" || d == "O4") throw FormatError("object dtype '" + descr + "' is not supported");
  numeric::ElementType t;
  if (d == "?") {
    t = {numeric::Kind::Bool, 1};
  } else {
    const char kind = d.front();
    std::string_view digits = d.substr(1);
    if (digits.empty() || digits.size() > 2 ||
        !std::all_of(digits.begin(), digits.end(), [](char ch) { return ch >= '0' && ch <= '9'; }))
      throw unsupported(": only bool, integer and floating-point elements can be read");
    const int size = std::stoi(std::string(digits));
    switch (kind) {
      case 'b': t = {numeric::Kind::Bool, static_cast<std::uint8_t>(size)}; break;
      case 'i': t = {numeric::Kind::Signed, static_cast<std::uint8_t>(size)}; break;
      case 'u': t = {numeric::Kind::Unsigned, static_cast<std::uint8_t>(size)}; break;
      case 'f': t = {numeric::Kind::Float, static_cast<std::uint8_t>(size)}; break;
      default: throw unsupported(": only bool, integer and floating-point elements can be read");
    }
    if (!numeric::is_supported(t)) throw unsupported(": only bool, integer and floating-point elements can be read");
  }
  const bool big = order == '>';
  return {t, t.size > 1 && big};  // little-endian host ('|' and '=' mean native)
}

}  // namespace

std::size_t header_extent(std::span<const std::uint8_t> prefix) {
  if (prefix.size() < sizeof kMagic || std::memcmp(prefix.data(), kMagic, sizeof kMagic) != 0)
    throw FormatError("not a .npy file (bad magic string)");
  if (prefix.size() < 8) throw FormatError("truncated header: no format version");
  const std::uint8_t major = prefix[6], minor = prefix[7];
  if (major < 1 || major > 3 || minor != 0)
    throw FormatError("unsupported .npy format version " + std::to_string(major) + "." + std::to_string(minor) +
                      " (1.0, 2.0 and 3.0 are readable)");
  const std::size_t pre = preamble_size(major);
  if (prefix.size() < pre) throw FormatError("truncated header: no header length");
  const std::size_t length = major == 1 ? static_cast<std::size_t>(prefix[8] | (prefix[9] << 8))
                                        : static_cast<std::size_t>(prefix[8]) | static_cast<std::size_t>(prefix[9]) << 8 |
                                              static_cast<std::size_t>(prefix[10]) << 16 |
                                              static_cast<std::size_t>(prefix[11]) << 24;
  if (length > kMaxHeaderLength)
    throw FormatError("header length " + std::to_string(length) + " exceeds the limit of " +
                      std::to_string(kMaxHeaderLength) + " bytes");
  return pre + length;
}

Header parse_header(std::span<const std::uint8_t> bytes) {
  const std::size_t extent = header_extent(bytes);
  if (bytes.size() < extent)
    throw FormatError("truncated header: " + std::to_string(extent) + " bytes announced, " +
                      std::to_string(bytes.size()) + " present");
  Header h;
  h.major = bytes[6];
  h.minor = bytes[7];
  h.data_offset = extent;
  const std::size_t pre = preamble_size(h.major);
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()) + pre, extent - pre);
  for (std::size_t k = 0; k < text.size(); ++k) {
    const auto ch = static_cast<unsigned char>(text[k]);
    if (ch >= 0x80 || (ch < 0x20 && std::strchr("\t\n\r\f\v", static_cast<char>(ch)) == nullptr) || ch == 0)
      throw FormatError("malformed header: byte " + std::to_string(ch) + " at character " + std::to_string(k));
  }

  auto dict = HeaderText(text, h.major <= 2).dict();
  for (const auto& [key, value] : dict) {
    if (key != "descr" && key != "fortran_order" && key != "shape")
      throw FormatError("malformed header: unexpected key '" + key + "'");
  }
  for (const char* key : {"descr", "fortran_order", "shape"}) {
    if (!dict.contains(key)) throw FormatError(std::string("malformed header: no '") + key + "' key");
  }
  const Value& descr = dict["descr"];
  const Value& fortran = dict["fortran_order"];
  const Value& shape = dict["shape"];
  if (descr.type != Value::Type::String) throw FormatError("malformed header: 'descr' is not a string");
  if (fortran.type != Value::Type::Bool) throw FormatError("malformed header: 'fortran_order' is not True or False");
  if (shape.type != Value::Type::Tuple) throw FormatError("malformed header: 'shape' is not a tuple of integers");
  if (shape.items.size() > kMaxDims)
    throw FormatError("shape has " + std::to_string(shape.items.size()) + " dimensions, more than " +
                      std::to_string(kMaxDims));

  h.descr = descr.text;
  h.dtype = parse_descr(descr.text);
  h.fortran_order = fortran.flag;
  h.shape = shape.items;

  // As numpy does: the byte size of the non-zero dimensions must fit an index,
  // also for an empty array; here for the stored and the float32 form.
  const std::uint64_t item = std::max<std::uint64_t>(h.dtype.element.size, sizeof(float));
  std::uint64_t product = item;
  bool empty = false;
  for (std::uint64_t dim : h.shape) {
    if (dim == 0) {
      empty = true;
      continue;
    }
    if (product > kMaxIndex / dim) throw FormatError("shape " + shape_text(h.shape) + " is too large");
    product *= dim;
  }
  h.count = empty ? 0 : product / item;
  return h;
}

std::string shape_text(const std::vector<std::uint64_t>& shape) {
  std::string out = "(";
  for (std::size_t k = 0; k < shape.size(); ++k) {
    if (k > 0) out += ", ";
    out += std::to_string(shape[k]);
  }
  if (shape.size() == 1) out += ",";
  return out + ")";
}

}  // namespace quarnet::npy
