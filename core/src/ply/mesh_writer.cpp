#include "quarnet/ply/mesh_writer.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <vector>

#include "quarnet/errors.hpp"
#include "quarnet/io/file.hpp"
#include "quarnet/parallel/stop.hpp"

namespace quarnet::ply {
namespace {

constexpr std::size_t kBuffer = std::size_t{1} << 20;

// Little-endian bytes of a value.
template <class T>
void put(std::uint8_t*& at, T value) {
  auto bits = std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(value);
  if constexpr (std::endian::native == std::endian::big) std::reverse(bits.begin(), bits.end());
  std::memcpy(at, bits.data(), sizeof(T));
  at += sizeof(T);
}

class Output {
 public:
  explicit Output(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
    if (fd_.get() < 0) throw OsError(errno, path);
    buffer_.resize(kBuffer);
  }

  // Room for a record of `size` bytes, written out first where full.
  std::uint8_t* room(std::size_t size) {
    if (used_ + size > buffer_.size()) flush();
    std::uint8_t* at = buffer_.data() + used_;
    used_ += size;
    return at;
  }

  void append(std::string_view bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t n = std::min(bytes.size() - at, buffer_.size() - used_);
      std::memcpy(buffer_.data() + used_, bytes.data() + at, n);
      used_ += n;
      at += n;
      if (used_ == buffer_.size()) flush();
    }
  }

  void flush() {
    parallel::check_stop();
    for (std::size_t at = 0; at < used_;) {
      const ssize_t n = ::write(fd_.get(), buffer_.data() + at, used_ - at);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) throw OsError(errno, "");
      at += static_cast<std::size_t>(n);
    }
    used_ = 0;
  }

  void close() {
    flush();
    if (::close(fd_.release()) != 0) throw OsError(errno, "");
  }

 private:
  io::Fd fd_;
  std::vector<std::uint8_t> buffer_;
  std::size_t used_ = 0;
};

}  // namespace

void write_mesh(const std::string& path, std::string_view header, const MeshRecords& mesh) {
  const std::size_t vertices = mesh.vertices.size() / 3, faces = mesh.faces.size() / 3;
  if (!mesh.vertex_colors.empty() && mesh.vertex_colors.size() != 4 * vertices)
    throw ArgumentError("vertex colours of another count than the vertices'");
  if (!mesh.face_colors.empty() && mesh.face_colors.size() != 4 * faces)
    throw ArgumentError("face colours of another count than the faces'");
  Output out(path);
  out.append(header);
  const bool vertex_colors = !mesh.vertex_colors.empty(), face_colors = !mesh.face_colors.empty();
  for (std::size_t v = 0; v < vertices; ++v) {
    std::uint8_t* at = out.room(vertex_colors ? 16 : 12);
    for (int c = 0; c < 3; ++c) put(at, static_cast<float>(mesh.vertices[3 * v + c]));
    if (vertex_colors) std::memcpy(at, &mesh.vertex_colors[4 * v], 4);
  }
  for (std::size_t f = 0; f < faces; ++f) {
    std::uint8_t* at = out.room(face_colors ? 17 : 13);
    put(at, std::uint8_t{3});
    for (int c = 0; c < 3; ++c) put(at, static_cast<std::int32_t>(mesh.faces[3 * f + c]));
    if (face_colors) std::memcpy(at, &mesh.face_colors[4 * f], 4);
  }
  out.close();
}

}  // namespace quarnet::ply
