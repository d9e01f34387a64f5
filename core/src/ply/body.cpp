// The body walk: every row of every element, in header order, so that the
// length the header promises is known even where lists make it depend on
// the data. Reads are buffered; fixed-size elements are skipped whole.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <string>
#include <cstring>
#include <limits>

#include "quarnet/errors.hpp"
#include "quarnet/ply/layout.hpp"

namespace quarnet::ply {

namespace {

constexpr std::uint64_t kUnbounded = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > kUnbounded - b ? kUnbounded : a + b; }
std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  return b != 0 && a > kUnbounded / b ? kUnbounded : a * b;
}

// A buffered reader over a stream that counts the bytes it has passed.
class Cursor {
 public:
  explicit Cursor(io::ByteStream& src) : src_(src), buf_(1 << 16) {}

  std::uint64_t consumed() const noexcept { return consumed_; }

  // The next byte, without taking it; -1 at the end.
  int peek() {
    if (pos_ == end_ && !fill()) return -1;
    return buf_[pos_];
  }
  void advance() {
    ++pos_;
    ++consumed_;
  }

  // Copies n bytes out; false (having taken what there was) at the end.
  bool take(std::uint8_t* out, std::size_t n) {
    while (n > 0) {
      if (pos_ == end_ && !fill()) return false;
      const std::size_t k = std::min(n, end_ - pos_);
      std::memcpy(out, buf_.data() + pos_, k);
      pos_ += k;
      consumed_ += k;
      out += k;
      n -= k;
    }
    return true;
  }

  // Moves past up to n bytes; returns how many.
  std::uint64_t skip(std::uint64_t n) {
    const std::size_t in_buffer = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - pos_));
    pos_ += in_buffer;
    std::uint64_t done = in_buffer;
    if (done < n) done += src_.skip(n - done);
    consumed_ += done;
    return done;
  }

 private:
  bool fill() {
    pos_ = 0;
    end_ = src_.read(buf_.data(), buf_.size());
    return end_ > 0;
  }

  io::ByteStream& src_;
  std::vector<std::uint8_t> buf_;
  std::size_t pos_ = 0, end_ = 0;
  std::uint64_t consumed_ = 0;
};

// The bytes of properties `from`.. of a row with every list empty; `has_list`
// tells whether a list is among them.
std::uint64_t least_size(const Element& e, std::size_t from, bool& has_list) {
  std::uint64_t size = 0;
  has_list = false;
  for (std::size_t k = from; k < e.properties.size(); ++k) {
    const Property& p = e.properties[k];
    has_list = has_list || p.is_list;
    size += size_of(p.is_list ? p.count_type : p.type);
  }
  return size;
}

std::string where(const Element& e, std::uint64_t row) {
  return "element '" + e.name + "', row " + std::to_string(row + 1) + " of " + std::to_string(e.count);
}

// An incomplete body of `present` bytes that ends in row `row` of element
// `index`, which needs at least `row_needed` bytes of the body up to its end
// (exactly, when `row_exact`); adds the least the later rows take.
BodyCheck ends_in(const Header& h, std::size_t index, std::uint64_t row, std::uint64_t row_needed, bool row_exact,
                  std::uint64_t present) {
  BodyCheck out;
  out.length = present;
  out.where = where(h.elements[index], row);
  out.exact = row_exact;
  std::uint64_t needed = row_needed;
  for (std::size_t k = index; k < h.elements.size(); ++k) {
    bool has_list = false;
    const std::uint64_t rows = h.elements[k].count - (k == index ? row + 1 : 0);
    needed = saturating_add(needed, saturating_mul(rows, least_size(h.elements[k], 0, has_list)));
    if (has_list && rows > 0) out.exact = false;
  }
  out.needed = std::max(needed, present + 1);
  return out;
}

std::uint64_t list_count(const std::uint8_t* raw, Scalar type, bool big_endian, const Element& e, std::uint64_t row) {
  std::array<std::uint8_t, 4> b{};
  const std::size_t n = size_of(type);
  std::copy_n(raw, n, b.begin());
  if (big_endian) std::reverse(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n));
  std::int64_t value = 0;
  switch (type) {
    case Scalar::int8: value = static_cast<std::int8_t>(b[0]); break;
    case Scalar::uint8: value = b[0]; break;
    case Scalar::int16: value = std::bit_cast<std::int16_t>(std::array<std::uint8_t, 2>{b[0], b[1]}); break;
    case Scalar::uint16: value = std::bit_cast<std::uint16_t>(std::array<std::uint8_t, 2>{b[0], b[1]}); break;
    case Scalar::int32: value = std::bit_cast<std::int32_t>(b); break;
    case Scalar::uint32: value = std::bit_cast<std::uint32_t>(b); break;
    default: break;  // the header allows integer counts only
  }
  if (value < 0) throw FormatError("PLY body: negative list count " + std::to_string(value) + " in " + where(e, row));
  return static_cast<std::uint64_t>(value);
}

BodyCheck binary_body(const Header& h, Cursor& in) {
  const bool big = h.format == Format::binary_big_endian;
  for (std::size_t index = 0; index < h.elements.size(); ++index) {
    const Element& e = h.elements[index];
    bool has_list = false;
    const std::uint64_t row_size = least_size(e, 0, has_list);
    if (row_size == 0) continue;  // no properties: its rows take no bytes
    if (!has_list) {
      const std::uint64_t start = in.consumed();
      const std::uint64_t need = saturating_mul(e.count, row_size);
      const std::uint64_t got = in.skip(need);
      if (got < need) {
        const std::uint64_t row = got / row_size;
        return ends_in(h, index, row, start + (row + 1) * row_size, true, in.consumed());
      }
      continue;
    }
    for (std::uint64_t row = 0; row < e.count; ++row) {
      for (std::size_t k = 0; k < e.properties.size(); ++k) {
        const Property& p = e.properties[k];
        const std::uint64_t before = in.consumed();
        std::uint64_t need = size_of(p.is_list ? p.count_type : p.type);
        bool known = true;  // `need` is all this property takes
        if (!p.is_list) {
          if (in.skip(need) == need) continue;
        } else {
          std::uint8_t raw[4];
          known = in.take(raw, need);
          if (known) {
            const std::uint64_t items = list_count(raw, p.count_type, big, e, row) * size_of(p.type);
            if (in.skip(items) == items) continue;
            need += items;
          }
        }
        bool rest_has_list = false;
        const std::uint64_t rest = least_size(e, k + 1, rest_has_list);
        return ends_in(h, index, row, before + need + rest, known && !rest_has_list, in.consumed());
      }
    }
  }
  BodyCheck out;
  out.complete = true;
  out.length = in.consumed();
  out.extra = in.skip(kUnbounded);
  return out;
}

bool is_blank(int c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The next whitespace-separated word of an ascii body; false at the end.
bool word(Cursor& in, std::string* text) {
  while (is_blank(in.peek())) in.advance();
  if (in.peek() < 0) return false;
  if (text) text->clear();
  std::size_t length = 0;
  for (int c = in.peek(); c >= 0 && !is_blank(c); c = in.peek(), ++length) {
    if (text && length < 32) text->push_back(static_cast<char>(c));
    in.advance();
  }
  if (text && length > 32) text->append("...");  // no count is that long
  return true;
}

std::uint64_t ascii_count(const std::string& text, const Element& e, std::uint64_t row) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    throw FormatError("PLY body: list count '" + text + "' is not a count in " + where(e, row));
  }
  return value;
}

// Words have no fixed length: the least an incomplete ascii body needs is one byte more.
BodyCheck ascii_ends_in(const Element& e, std::uint64_t row, const Cursor& in) {
  BodyCheck out;
  out.length = in.consumed();
  out.needed = out.length + 1;
  out.where = where(e, row);
  return out;
}

BodyCheck ascii_body(const Header& h, Cursor& in) {
  const Element* last = nullptr;  // of the last row seen
  std::uint64_t last_row = 0;
  std::string text;
  for (std::size_t index = 0; index < h.elements.size(); ++index) {
    const Element& e = h.elements[index];
    if (e.properties.empty()) continue;
    for (std::uint64_t row = 0; row < e.count; ++row) {
      for (const Property& p : e.properties) {
        bool whole = word(in, p.is_list ? &text : nullptr);
        if (whole && p.is_list) {
          const std::uint64_t items = ascii_count(text, e, row);
          for (std::uint64_t k = 0; k < items && whole; ++k) whole = word(in, nullptr);
        }
        if (!whole) return ascii_ends_in(e, row, in);
        last = &e;
        last_row = row;
      }
    }
  }
  BodyCheck out;
  if (last != nullptr) {
    // The last row ends with its line end: a body that ends right after its
    // last word may have been cut inside it.
    const int c = in.peek();
    if (c < 0) return ascii_ends_in(*last, last_row, in);
    if (c == '\n' || c == '\r') {
      in.advance();
      if (c == '\r' && in.peek() == '\n') in.advance();
    }
  }
  out.complete = true;
  out.length = in.consumed();
  for (int c = in.peek(); c >= 0; c = in.peek()) {
    if (!is_blank(c)) ++out.extra;
    in.advance();
  }
  return out;
}

}  // namespace

BodyCheck check_body(const Header& header, io::ByteStream& body) {
  Cursor in(body);
  return header.format == Format::ascii ? ascii_body(header, in) : binary_body(header, in);
}

}  // namespace quarnet::ply
