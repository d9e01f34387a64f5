#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/npy/format.hpp"
#include "quarnet/npy/reader.hpp"

namespace npy = quarnet::npy;
using Bytes = std::vector<std::uint8_t>;

namespace {

// A .npy file: header dict text padded to a multiple of 64 bytes, then data.
Bytes npy_file(const std::string& dict, const Bytes& data, int major = 1) {
  const std::size_t pre = major == 1 ? 10 : 12;
  std::string text = dict;
  while ((pre + text.size() + 1) % 64 != 0) text += ' ';
  text += '\n';
  Bytes out = {0x93, 'N', 'U', 'M', 'P', 'Y', static_cast<std::uint8_t>(major), 0};
  const auto n = static_cast<std::uint32_t>(text.size());
  out.push_back(static_cast<std::uint8_t>(n));
  out.push_back(static_cast<std::uint8_t>(n >> 8));
  if (major != 1) {
    out.push_back(static_cast<std::uint8_t>(n >> 16));
    out.push_back(static_cast<std::uint8_t>(n >> 24));
  }
  out.insert(out.end(), text.begin(), text.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

std::string dict(const std::string& descr, const std::string& shape, bool fortran = false) {
  return "{'descr': '" + descr + "', 'fortran_order': " + (fortran ? "True" : "False") + ", 'shape': " + shape + ", }";
}

template <class T>
Bytes raw(std::initializer_list<T> values, bool big_endian = false) {
  Bytes out;
  for (T v : values) {
    std::uint8_t b[sizeof(T)];
    std::memcpy(b, &v, sizeof(T));
    if (big_endian) std::reverse(b, b + sizeof(T));
    out.insert(out.end(), b, b + sizeof(T));
  }
  return out;
}

std::vector<float> decode(const Bytes& file) {
  const npy::Header h = npy::parse_header(file);
  std::vector<float> out(h.count);
  npy::decode(h, file, out.data());
  return out;
}

std::string error_of(const Bytes& file) {
  try {
    decode(file);
  } catch (const quarnet::FormatError& e) {
    return e.what();
  }
  return "no error";
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

class TempFile {
 public:
  explicit TempFile(const Bytes& content) {
    char name[] = "/tmp/npy_test_XXXXXX";
    const int fd = ::mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
    path_ = name;
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

TEST(NpyHeader, ReadsEveryFormatVersion) {
  const Bytes data = raw<float>({1, 2, 3, 4, 5, 6});
  for (int major : {1, 2, 3}) {
    const Bytes file = npy_file(dict("<f4", "(2, 3)"), data, major);
    const npy::Header h = npy::parse_header(file);
    EXPECT_EQ(h.major, major);
    EXPECT_EQ(h.shape, (std::vector<std::uint64_t>{2, 3}));
    EXPECT_EQ(h.count, 6u);
    EXPECT_EQ(h.data_offset % 64, 0u);
    EXPECT_EQ(decode(file), (std::vector<float>{1, 2, 3, 4, 5, 6}));
  }
}

TEST(NpyHeader, AcceptsThePythonLiteralSpellingsNumpyReads) {
  EXPECT_EQ(npy::parse_header(npy_file("{\"shape\":(3,),\"fortran_order\":True,\"descr\":\"|u1\"}", {})).shape,
            (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(npy::parse_header(npy_file("{'descr':'<f8','fortran_order':False,'shape':()}", {})).count, 1u);
  EXPECT_EQ(npy::parse_header(npy_file("{'descr': '<i2', 'fortran_order': False, 'shape': (2,\n 0, )}", {})).count, 0u);
  // Python 2 longs in the older versions only.
  EXPECT_EQ(npy::parse_header(npy_file(dict("<f4", "(3L, 4L)"), {})).count, 12u);
  EXPECT_NE(error_of(npy_file(dict("<f4", "(3L, 4L)"), {}, 3)).find("malformed header"), std::string::npos);
  EXPECT_EQ(npy::shape_text({}), "()");
  EXPECT_EQ(npy::shape_text({5}), "(5,)");
  EXPECT_EQ(npy::shape_text({2, 3}), "(2, 3)");
}

TEST(NpyConvert, EveryPlainTypeInBothByteOrders) {
  for (bool big : {false, true}) {
    const std::string o = big ? ">" : "<";
    const auto check = [&](const std::string& descr, const Bytes& data, const std::vector<float>& want) {
      SCOPED_TRACE(descr);
      const std::string shape = "(" + std::to_string(want.size()) + ",)";
      const auto got = decode(npy_file(dict(descr, shape), data));
      ASSERT_EQ(got.size(), want.size());
      for (std::size_t k = 0; k < want.size(); ++k) EXPECT_EQ(bits(got[k]), bits(want[k])) << k;
    };
    check("|b1", {0, 1, 2}, {0, 1, 1});
    check("|i1", raw<std::int8_t>({-128, 127}), {-128, 127});
    check("|u1", raw<std::uint8_t>({0, 255}), {0, 255});
    check(o + "i2", raw<std::int16_t>({-32768, 1234}, big), {-32768, 1234});
    check(o + "u2", raw<std::uint16_t>({65535, 7}, big), {65535, 7});
    check(o + "i4", raw<std::int32_t>({-16777217, 2147483647}, big), {-16777216, 2147483648.0f});
    check(o + "u4", raw<std::uint32_t>({16777217u, 4294967295u}, big), {16777216, 4294967296.0f});
    // Rounded once to the nearest float32, not through double.
    check(o + "i8", raw<std::int64_t>({(std::int64_t{1} << 62) + (std::int64_t{1} << 38) + 1, -3}, big),
          {0x1.000002p62f, -3});
    check(o + "u8", raw<std::uint64_t>({~std::uint64_t{0}, (std::uint64_t{1} << 63) + (std::uint64_t{1} << 39) + 1}, big),
          {0x1p64f, 0x1.000002p63f});
    check(o + "f4", raw<float>({0.1f, -0.0f, std::numeric_limits<float>::infinity()}, big),
          {0.1f, -0.0f, std::numeric_limits<float>::infinity()});
    check(o + "f8", raw<double>({0.1, 1e300, -1e-300, 3.0000001192092896}, big),
          {0.1f, std::numeric_limits<float>::infinity(), -0.0f, static_cast<float>(3.0000001192092896)});
    // float16: normal, subnormals, infinity and a NaN whose payload survives.
    const Bytes halves = raw<std::uint16_t>({0x3c00, 0xc000, 0x0001, 0x83ff, 0x7c00, 0x7e01, 0x7bff}, big);
    check(o + "f2", halves,
          {1.0f, -2.0f, 0x1p-24f, -0x1.ff8p-15f, std::numeric_limits<float>::infinity(), std::bit_cast<float>(0x7fc02000u),
           65504.0f});
  }
}

TEST(NpyConvert, KeepsStorageOrderAndTheFortranFlag) {
  const Bytes file = npy_file(dict("<i4", "(2, 3)", true), raw<std::int32_t>({1, 2, 3, 4, 5, 6}));
  EXPECT_TRUE(npy::parse_header(file).fortran_order);
  EXPECT_EQ(decode(file), (std::vector<float>{1, 2, 3, 4, 5, 6}));
}

TEST(NpyErrors, RejectsWhatIsNotAPlainNumericNpy) {
  const Bytes data = raw<float>({1, 2});
  const auto rejects = [](const Bytes& file, const std::string& reason) {
    const std::string message = error_of(file);
    EXPECT_NE(message.find(reason), std::string::npos) << message << " / expected: " << reason;
  };
  Bytes bad_magic = npy_file(dict("<f4", "(2,)"), data);
  bad_magic[1] = 'X';
  rejects(bad_magic, "bad magic");
  rejects(Bytes{0x93, 'N', 'U'}, "bad magic");
  rejects(Bytes{0x93, 'N', 'U', 'M', 'P', 'Y', 1}, "no format version");
  rejects(Bytes{0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 0x10}, "no header length");
  Bytes version = npy_file(dict("<f4", "(2,)"), data);
  version[6] = 4;
  rejects(version, "version 4.0");
  rejects(Bytes{0x93, 'N', 'U', 'M', 'P', 'Y', 2, 0, 0x11, 0x27, 0, 0}, "exceeds the limit of 10000");
  Bytes cut = npy_file(dict("<f4", "(2,)"), {});
  cut.resize(40);
  rejects(cut, "truncated header");

  rejects(npy_file("{'descr': '<f4', 'fortran_order': False}", data), "no 'shape' key");
  rejects(npy_file("{'descr': '<f4', 'fortran_order': False, 'shape': (2,), 'x': 1}", data), "unexpected key 'x'");
  rejects(npy_file("['descr', '<f4']", data), "expected '{'");
  rejects(npy_file(dict("<f4", "(2,)") + " junk", data), "the end of the header");
  rejects(npy_file("{'descr': '<f4', 'fortran_order': 0, 'shape': (2,)}", data), "'fortran_order' is not True or False");
  rejects(npy_file(dict("<f4", "(2)"), data), "'shape' is not a tuple");
  rejects(npy_file(dict("<f4", "[2]"), data), "expected a value for 'shape'");
  rejects(npy_file(dict("<f4", "(-2,)"), data), "negative dimension");
  rejects(npy_file(dict("<f4", "(02,)"), data), "without leading zeros");
  rejects(npy_file(dict("<f4", "(2.0,)"), data), "expected ',' or ')'");
  rejects(npy_file("{'descr': '<f\\x34', 'fortran_order': False, 'shape': (2,)}", data), "plain string");
  rejects(npy_file("{'descr': '<f4', 'fortran_order': False, 'shape': (2,)", data), "',' or '}'");
  Bytes nul = npy_file(dict("<f4", "(2,)"), data);
  nul[20] = 0;
  rejects(nul, "byte 0");
  Bytes high = npy_file(dict("<f4", "(2,)"), data, 3);
  high[70] = 0xc3;
  rejects(high, "byte 195");

  rejects(npy_file(dict("|O", "(2,)"), data), "object dtype");
  rejects(npy_file("{'descr': [('a', '<f4')], 'fortran_order': False, 'shape': (2,)}", data), "structured dtype");
  for (const char* d : {"<c8", "<f16", "|S4", "<U2", "<M8[ns]", "|V8", "<b2", "<i3", "", "<"})
    rejects(npy_file(dict(d, "(2,)"), data), "unsupported dtype");

  rejects(npy_file(dict("<f4", "(3,)"), data), "data is truncated: shape (3,) of '<f4' needs 12 bytes, 8 present");
  rejects(npy_file(dict("<f8", "(4294967296, 4294967296)"), data), "is too large");
  rejects(npy_file(dict("<f8", "(0, 4611686018427387904, 4)"), data), "is too large");
  rejects(npy_file(dict("<f4", "(18446744073709551616,)"), data), "dimension too large");
  std::string many = "(";
  for (int k = 0; k < 65; ++k) many += "1, ";
  rejects(npy_file(dict("<f4", many + ")"), data), "65 dimensions");
}

TEST(NpyReader, ReadsFilesAndNamesThemInErrors) {
  // Big-endian doubles over several staging chunks.
  std::vector<double> values(100001);
  Bytes data;
  for (std::size_t k = 0; k < values.size(); ++k) {
    values[k] = static_cast<double>(k) / 7.0;
    const Bytes one = raw<double>({values[k]}, true);
    data.insert(data.end(), one.begin(), one.end());
  }
  TempFile file(npy_file(dict(">f8", "(100001,)"), data, 2));
  npy::Reader in(file.path());
  ASSERT_EQ(in.header().count, values.size());
  std::vector<float> out(values.size());
  in.read_float32(out.data());
  for (std::size_t k = 0; k < values.size(); k += 997) EXPECT_EQ(out[k], static_cast<float>(values[k]));
  EXPECT_EQ(out.back(), static_cast<float>(values.back()));

  TempFile short_file(npy_file(dict("<f4", "(1000000, 1000)"), raw<float>({1, 2})));
  try {
    npy::Reader bad(short_file.path());
    FAIL() << "short data accepted";
  } catch (const quarnet::FormatError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(short_file.path() + ": data is truncated", 0), 0u) << e.what();
  }
  TempFile not_npy(Bytes{'h', 'e', 'l', 'l', 'o'});
  try {
    npy::Reader bad(not_npy.path());
    FAIL() << "text accepted";
  } catch (const quarnet::FormatError& e) {
    EXPECT_EQ(std::string(e.what()), not_npy.path() + ": not a .npy file (bad magic string)");
  }

  try {
    npy::Reader missing("/nonexistent/depth.npy");
    FAIL();
  } catch (const quarnet::OsError& e) {
    EXPECT_EQ(e.code(), ENOENT);
    EXPECT_EQ(e.path(), "/nonexistent/depth.npy");
  }
  try {
    npy::Reader dir("/tmp");
    FAIL();
  } catch (const quarnet::OsError& e) {
    EXPECT_EQ(e.code(), EISDIR);
  }
}

TEST(NpyReader, OpensRegularFilesOnly) {
  // A FIFO without a writer would block an open for reading; a device would never end.
  char dir[] = "/tmp/npy_fifo_XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string fifo = std::string(dir) + "/depth.npy";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const auto& [path, kind] : {std::pair<std::string, std::string>{fifo, "a FIFO"}, {"/dev/zero", "a character device"}}) {
    try {
      npy::Reader in(path);
      FAIL() << path;
    } catch (const quarnet::FormatError& e) {
      EXPECT_EQ(std::string(e.what()), path + ": " + kind + ", not a regular file");
    }
  }
  ::unlink(fifo.c_str());
  ::rmdir(dir);
}
