#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/ply/file_check.hpp"
#include "quarnet/ply/layout.hpp"

namespace ply = quarnet::ply;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes bytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Two float vertices and one triangle, binary little-endian, as trimesh writes it.
const std::string kHeader =
    "ply\nformat binary_little_endian 1.0\ncomment made by hand\nelement vertex 3\nproperty float x\n"
    "property float y\nproperty float z\nelement face 1\nproperty list uchar int vertex_indices\nend_header\n";

Bytes mesh_file() {
  Bytes out = bytes(kHeader);
  out.resize(out.size() + 3 * 12, 0);  // vertices
  out.push_back(3);                    // the face: count, three ids
  for (const std::uint8_t id : {std::uint8_t{0}, std::uint8_t{1}, std::uint8_t{2}}) {
    const Bytes le = {id, 0, 0, 0};
    out.insert(out.end(), le.begin(), le.end());
  }
  return out;
}

ply::BodyCheck body_of(const Bytes& file) {
  const ply::Header h = ply::parse_header(file);
  quarnet::io::SpanStream src(std::span<const std::uint8_t>(file).subspan(h.length));
  return ply::check_body(h, src);
}

TEST(PlyHeader, ReadsElementsAndProperties) {
  const Bytes file = mesh_file();
  const ply::Header h = ply::parse_header(file);
  EXPECT_EQ(h.format, ply::Format::binary_little_endian);
  EXPECT_EQ(h.length, kHeader.size());
  ASSERT_EQ(h.elements.size(), 2u);
  EXPECT_EQ(h.elements[0].name, "vertex");
  EXPECT_EQ(h.elements[0].count, 3u);
  EXPECT_EQ(h.elements[0].properties.size(), 3u);
  const ply::Property& ids = h.elements[1].properties.at(0);
  EXPECT_TRUE(ids.is_list);
  EXPECT_EQ(ids.count_type, ply::Scalar::uint8);
  EXPECT_EQ(ids.type, ply::Scalar::int32);
  EXPECT_EQ(ids.name, "vertex_indices");
  // CR LF line ends and the type aliases
  const ply::Header crlf = ply::parse_header(bytes("ply\r\nformat ascii 1.0\r\nelement v 2\r\nproperty float64 x\r\nend_header\r\n"));
  EXPECT_EQ(crlf.elements.at(0).properties.at(0).type, ply::Scalar::float64);
}

TEST(PlyHeader, RefusesMalformedHeaders) {
  const std::pair<const char*, const char*> cases[] = {
      {"PLY\nformat ascii 1.0\nend_header\n", "does not start with the line 'ply'"},
      {"ply\nformat text 1.0\nend_header\n", "line 2: unknown format 'text'"},
      {"ply\nformat ascii 2.0\nend_header\n", "line 2: unknown version '2.0'"},
      {"ply\nelement v 1\nend_header\n", "line 2: 'element' before the format line"},
      {"ply\nformat ascii 1.0\nformat ascii 1.0\nend_header\n", "line 3: second format line"},
      {"ply\nformat ascii 1.0\nproperty float x\nend_header\n", "line 3: property before any element"},
      {"ply\nformat ascii 1.0\nelement v -1\nend_header\n", "line 3: element count is not a number"},
      {"ply\nformat ascii 1.0\nelement v 99999999999999999999\nend_header\n", "line 3: element count is not"},
      {"ply\nformat ascii 1.0\nelement v 1\nproperty list float int i\nend_header\n", "is not an integer type"},
      {"ply\nformat ascii 1.0\nelement v 1\nproperty half x\nend_header\n", "unknown property type 'half'"},
      {"ply\nformat ascii 1.0\nelement v 1\nproperty float\nend_header\n", "property needs a type and a name"},
      {"ply\nformat ascii 1.0\nbogus\nend_header\n", "line 3: unknown keyword 'bogus'"},
      {"ply\nformat ascii 1.0\n\nend_header\n", "line 3: empty line"},
      {"ply\nformat ascii 1.0\nend_header x\n", "end_header followed by text"},
      {"ply\nend_header\n", "no format line"},
  };
  for (const auto& [text, message] : cases) {
    try {
      ply::parse_header(bytes(text));
      ADD_FAILURE() << "accepted: " << text;
    } catch (const ply::TruncatedHeader& e) {
      ADD_FAILURE() << "called truncated: " << text;
    } catch (const quarnet::FormatError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

TEST(PlyHeader, EveryShorterPrefixIsTruncated) {
  const Bytes full = bytes(kHeader);
  for (std::size_t n = 0; n < full.size(); ++n) {
    EXPECT_THROW(ply::parse_header(std::span<const std::uint8_t>(full).first(n)), ply::TruncatedHeader) << n;
  }
  const std::string huge = "ply\nformat ascii 1.0\ncomment " + std::string(ply::kMaxHeaderBytes, 'x') + "\nend_header\n";
  try {
    ply::parse_header(bytes(huge));
    ADD_FAILURE();
  } catch (const ply::TruncatedHeader&) {
    ADD_FAILURE() << "a header over the limit is refused, not called truncated";
  } catch (const quarnet::FormatError& e) {
    EXPECT_NE(std::string(e.what()).find("longer than"), std::string::npos);
  }
}

TEST(PlyBody, BinaryBodiesHoldWhatTheHeaderPromises) {
  const Bytes file = mesh_file();
  const std::size_t body = file.size() - kHeader.size();
  const ply::BodyCheck whole = body_of(file);
  EXPECT_TRUE(whole.complete);
  EXPECT_EQ(whole.length, body);
  EXPECT_EQ(whole.extra, 0u);

  for (std::size_t cut = kHeader.size(); cut < file.size(); ++cut) {
    const ply::BodyCheck b = body_of(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(cut)));
    EXPECT_FALSE(b.complete) << cut;
    EXPECT_EQ(b.length, cut - kHeader.size());
    EXPECT_GT(b.needed, b.length);
    EXPECT_LE(b.needed, body);  // a lower bound where a list is missing
    EXPECT_EQ(b.where, cut < kHeader.size() + 36 ? "element 'vertex', row " + std::to_string((cut - kHeader.size()) / 12 + 1) + " of 3"
                                                 : "element 'face', row 1 of 1");
  }
  // the vertices cut short: the rest has one list, so the length is only a bound
  const ply::BodyCheck cut = body_of(Bytes(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(kHeader.size()) + 20));
  EXPECT_FALSE(cut.exact);
  EXPECT_EQ(cut.needed, 36u + 1u);

  Bytes longer = file;
  longer.insert(longer.end(), {9, 9});
  EXPECT_TRUE(body_of(longer).complete);
  EXPECT_EQ(body_of(longer).extra, 2u);
}

TEST(PlyBody, FixedRowsBigEndianCountsAndBadCounts) {
  const std::string points = "ply\nformat binary_big_endian 1.0\nelement vertex 1000\nproperty double x\nend_header\n";
  Bytes file = bytes(points);
  file.resize(file.size() + 8000 - 5);
  const ply::BodyCheck b = body_of(file);
  EXPECT_FALSE(b.complete);
  EXPECT_TRUE(b.exact);
  EXPECT_EQ(b.needed, 8000u);
  EXPECT_EQ(b.where, "element 'vertex', row 1000 of 1000");

  const std::string lists = "ply\nformat binary_big_endian 1.0\nelement face 1\nproperty list short uchar ids\nend_header\n";
  Bytes two = bytes(lists);
  two.insert(two.end(), {0, 2, 7, 8});
  EXPECT_TRUE(body_of(two).complete);
  Bytes negative = bytes(lists);
  negative.insert(negative.end(), {0xff, 0xfe});
  EXPECT_THROW(body_of(negative), quarnet::FormatError);
  // an element without properties takes no bytes, whatever its count
  EXPECT_TRUE(body_of(bytes("ply\nformat binary_little_endian 1.0\nelement e 18446744073709551615\nend_header\n")).complete);
}

TEST(PlyBody, AsciiBodiesEndWithTheLastRowsLineEnd) {
  const std::string header =
      "ply\nformat ascii 1.0\nelement vertex 2\nproperty float x\nproperty float y\n"
      "element face 1\nproperty list uchar int vertex_indices\nend_header\n";
  const std::string body = "0.5 1\n-2 3e4\n3 0 1 1\n";
  const Bytes full = bytes(header + body);
  EXPECT_TRUE(body_of(full).complete);
  EXPECT_EQ(body_of(full).length, body.size());
  for (std::size_t cut = header.size(); cut < full.size(); ++cut) {
    EXPECT_FALSE(body_of(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut))).complete) << cut;
  }
  EXPECT_EQ(body_of(bytes(header + body + " \r\n\n")).extra, 0u);
  EXPECT_EQ(body_of(bytes(header + body + "7\n")).extra, 1u);
  EXPECT_EQ(body_of(bytes(header + "0.5 1\n-2 3e4\n3 0 1 1 9\n")).extra, 1u);  // more words than the rows hold
  EXPECT_THROW(body_of(bytes(header + "0 0\n0 0\nx 1 2\n")), quarnet::FormatError);
  EXPECT_THROW(body_of(bytes(header + "0 0\n0 0\n-1\n")), quarnet::FormatError);
}

struct TempFile {
  std::string path;
  explicit TempFile(const Bytes& content) {
    path = (std::filesystem::temp_directory_path() / "quarnet-ply-XXXXXX").string();
    const int fd = ::mkstemp(path.data());
    EXPECT_EQ(::write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    ::close(fd);
  }
  ~TempFile() { ::unlink(path.c_str()); }
};

TEST(PlyFileCheck, TellsCompleteShortAndForeignFiles) {
  const Bytes file = mesh_file();
  EXPECT_TRUE(ply::check_file(TempFile(file).path).ok);

  const ply::FileCheck cut = ply::check_file(TempFile(Bytes(file.begin(), file.end() - 3)).path);
  EXPECT_FALSE(cut.ok);
  EXPECT_EQ(cut.size, file.size() - 3);
  EXPECT_EQ(cut.missing, 3u);
  EXPECT_EQ(cut.problem, "incomplete PLY file: it holds " + std::to_string(file.size() - 3) + " of the " +
                             std::to_string(file.size()) + " bytes its header promises (it ends in element 'face', row 1 of 1)");

  const ply::FileCheck empty = ply::check_file(TempFile({}).path);
  EXPECT_EQ(empty.problem, "incomplete PLY file: its 0 bytes end inside the header");
  EXPECT_EQ(empty.missing, 1u);

  Bytes longer = file;
  longer.push_back(0);
  EXPECT_EQ(ply::check_file(TempFile(longer).path).problem,
            "PLY file holds 1 bytes more than the " + std::to_string(file.size()) + " its header promises");
  const ply::FileCheck foreign = ply::check_file(TempFile(bytes("solid x\nendsolid x\n")).path);
  EXPECT_EQ(foreign.missing, 0u);
  EXPECT_EQ(foreign.problem, "not a valid PLY file: not a PLY file: it does not start with the line 'ply'");

  try {
    ply::check_file("/nonexistent/sub_pcd.ply");
    ADD_FAILURE();
  } catch (const quarnet::OsError& e) {
    EXPECT_EQ(e.code(), ENOENT);
  }
  try {
    ply::check_file(std::filesystem::temp_directory_path().string());
    ADD_FAILURE();
  } catch (const quarnet::OsError& e) {
    EXPECT_EQ(e.code(), EISDIR);
  }
  EXPECT_EQ(ply::check_file("/dev/null").problem, "a character device, not a regular file");
}

}  // namespace
