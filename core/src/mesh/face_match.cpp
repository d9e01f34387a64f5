#include "quarnet/mesh/face_match.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <tuple>

#include "quarnet/errors.hpp"

namespace quarnet::mesh {
namespace {

using Corner = std::array<std::uint64_t, 3>;
using Triple = std::array<std::uint64_t, 3>;  // corner ranks, smallest rotation first

constexpr std::uint64_t kNaN = 0x7ff8000000000000ULL;

std::uint64_t coordinate_key(double v, bool as_float32) {
  if (std::isnan(v)) return kNaN;
  if (as_float32) {
    const float f = static_cast<float>(v);  // round to nearest, as astype(np.float32)
    return f == 0.0f ? 0 : std::bit_cast<std::uint32_t>(f);
  }
  return v == 0.0 ? 0 : std::bit_cast<std::uint64_t>(v);
}

bool is_float32_value(double v) { return std::isnan(v) || static_cast<double>(static_cast<float>(v)) == v; }

std::vector<Corner> corners_of(std::span<const double> xyz, bool as_float32) {
  std::vector<Corner> out(xyz.size() / 3);
  for (std::size_t v = 0; v < out.size(); ++v) {
    for (std::size_t k = 0; k < 3; ++k) out[v][k] = coordinate_key(xyz[3 * v + k], as_float32);
  }
  return out;
}

Triple smallest_rotation(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  return std::min({Triple{a, b, c}, Triple{b, c, a}, Triple{c, a, b}});
}

void require_triples(std::size_t n, const char* what) {
  if (n % 3 != 0) throw ArgumentError(std::string(what) + " length " + std::to_string(n) + " is not a multiple of 3");
}

struct MeshFace {
  Triple corners;
  std::int64_t id;
  bool operator<(const MeshFace& o) const { return std::tie(corners, id) < std::tie(o.corners, o.id); }
};

// A coordinate as a part file keeps it: its value, and half a unit of the
// last digit of its shortest decimal form (the most a text file printed to
// those digits can be off).
struct Kept {
  double value;
  double half_unit;
};

Kept kept(double p, bool as_float32) {
  if (!std::isfinite(p)) return {p, 0.0};
  // A zero shows no digits: "0" may stand for any value printed to fewer
  // places than it needs, so it keeps anything below half a unit.
  char text[64];
  const auto r = as_float32 ? std::to_chars(text, text + sizeof text, static_cast<float>(p), std::chars_format::scientific)
                            : std::to_chars(text, text + sizeof text, p, std::chars_format::scientific);
  const std::string_view s(text, static_cast<std::size_t>(r.ptr - text));  // [-]d[.ddd]e[+-]xx
  const auto e = s.find('e');
  const auto point = s.find('.');
  int exponent = 0;
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+'), s.data() + s.size(), exponent);
  const int decimals = point == std::string_view::npos || point > e ? 0 : static_cast<int>(e - point - 1);
  double value = p;
  std::from_chars(s.data(), s.data() + s.size(), value);
  return {value, 0.5 * std::pow(10.0, exponent - decimals)};
}

bool keeps(const Kept& p, double m) {
  if (std::isnan(p.value) || std::isnan(m)) return std::isnan(p.value) && std::isnan(m);
  if (p.value == m || p.value == static_cast<double>(static_cast<float>(m))) return true;
  // The decimal difference itself is rounded: a relative margin far below any printed digit.
  const double slack = p.half_unit * (1 + 1e-9);
  return std::abs(p.value - m) <= slack || std::abs(p.value - static_cast<double>(static_cast<float>(m))) <= slack;
}

}  // namespace

bool same_faces(const IndexedMesh& part, const IndexedMesh& mesh, std::span<const std::int64_t> ids) {
  require_triples(part.vertices.size(), "part vertex array");
  require_triples(part.faces.size(), "part face array");
  require_triples(mesh.vertices.size(), "mesh vertex array");
  require_triples(mesh.faces.size(), "mesh face array");
  if (part.faces.size() != 3 * ids.size() || !ids_in_range(ids, mesh.face_count()) || !part.faces_in_range()) return false;
  const bool as_float32 = std::all_of(part.vertices.begin(), part.vertices.end(), is_float32_value);
  std::vector<Kept> part_coords;
  part_coords.reserve(part.vertices.size());
  for (double p : part.vertices) part_coords.push_back(kept(p, as_float32));

  auto corner_kept = [&](std::int64_t pv, std::int64_t mv) {
    for (std::size_t k = 0; k < 3; ++k) {
      if (!keeps(part_coords[3 * static_cast<std::size_t>(pv) + k], mesh.vertices[3 * static_cast<std::size_t>(mv) + k]))
        return false;
    }
    return true;
  };
  for (std::size_t f = 0; f < ids.size(); ++f) {
    const std::int64_t* p = &part.faces[3 * f];
    const auto m = mesh.faces.subspan(3 * static_cast<std::size_t>(ids[f]), 3);
    if (!ids_in_range(m, mesh.vertex_count())) return false;
    bool found = false;
    for (std::size_t turn = 0; turn < 3 && !found; ++turn) {
      found = corner_kept(p[0], m[turn]) && corner_kept(p[1], m[(turn + 1) % 3]) && corner_kept(p[2], m[(turn + 2) % 3]);
    }
    if (!found) return false;
  }
  return true;
}

FaceMatch match_faces(const IndexedMesh& mesh, const IndexedMesh& part) {
  require_triples(mesh.vertices.size(), "mesh vertex array");
  require_triples(mesh.faces.size(), "mesh face array");
  require_triples(part.vertices.size(), "part vertex array");
  require_triples(part.faces.size(), "part face array");
  const std::size_t mesh_vertices = mesh.vertex_count();
  const std::size_t part_vertices = part.vertex_count();
  if (const auto k = first_out_of_range(mesh.faces, mesh_vertices)) {
    throw ArgumentError("mesh face " + std::to_string(*k / 3) + " refers to vertex " + std::to_string(mesh.faces[*k]) +
                        " of a mesh of " + std::to_string(mesh_vertices) + " vertices");
  }
  const bool as_float32 = std::all_of(part.vertices.begin(), part.vertices.end(), is_float32_value);

  // Each distinct corner of the part by rank. Only mesh faces whose three
  // corners are among them can match; only those are sorted.
  const std::vector<Corner> part_corners = corners_of(part.vertices, as_float32);
  std::vector<Corner> distinct = part_corners;
  std::sort(distinct.begin(), distinct.end());
  distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
  auto rank = [&](const Corner& c) -> std::int64_t {
    const auto it = std::lower_bound(distinct.begin(), distinct.end(), c);
    return it != distinct.end() && *it == c ? it - distinct.begin() : -1;
  };
  std::vector<std::int64_t> part_rank(part_vertices);
  for (std::size_t v = 0; v < part_vertices; ++v) part_rank[v] = rank(part_corners[v]);

  std::vector<std::int64_t> mesh_rank(mesh_vertices);
  for (std::size_t v = 0; v < mesh_vertices; ++v) {
    Corner c;
    for (std::size_t k = 0; k < 3; ++k) c[k] = coordinate_key(mesh.vertices[3 * v + k], as_float32);
    mesh_rank[v] = rank(c);
  }
  std::vector<MeshFace> faces;
  for (std::size_t f = 0; f < mesh.face_count(); ++f) {
    const auto* v = &mesh.faces[3 * f];
    const std::int64_t a = mesh_rank[static_cast<std::size_t>(v[0])], b = mesh_rank[static_cast<std::size_t>(v[1])],
                       c = mesh_rank[static_cast<std::size_t>(v[2])];
    if (a < 0 || b < 0 || c < 0) continue;
    faces.push_back({smallest_rotation(static_cast<std::uint64_t>(a), static_cast<std::uint64_t>(b),
                                       static_cast<std::uint64_t>(c)),
                     static_cast<std::int64_t>(f)});
  }
  std::sort(faces.begin(), faces.end());
  std::vector<std::uint32_t> taken(faces.size());  // per run of equal faces, at its first entry

  FaceMatch out;
  out.ids.reserve(part.face_count());
  for (std::size_t f = 0; f < part.face_count(); ++f) {
    const std::span<const std::int64_t> v = part.faces.subspan(3 * f, 3);
    if (ids_in_range(v, part_vertices)) {
      const std::int64_t r[3] = {part_rank[static_cast<std::size_t>(v[0])], part_rank[static_cast<std::size_t>(v[1])],
                                 part_rank[static_cast<std::size_t>(v[2])]};
      const Triple key = smallest_rotation(static_cast<std::uint64_t>(r[0]), static_cast<std::uint64_t>(r[1]),
                                           static_cast<std::uint64_t>(r[2]));
      const auto first = std::lower_bound(faces.begin(), faces.end(), MeshFace{key, std::numeric_limits<std::int64_t>::min()});
      const auto slot = static_cast<std::size_t>(first - faces.begin());
      const std::size_t next = slot + (slot < faces.size() ? taken[slot] : 0);
      if (next < faces.size() && faces[next].corners == key) {
        ++taken[slot];
        out.ids.push_back(faces[next].id);
        if (slot + 1 < faces.size() && faces[slot + 1].corners == key) ++out.ambiguous;
        continue;
      }
    }
    ++out.not_found;
  }
  return out;
}

}  // namespace quarnet::mesh
