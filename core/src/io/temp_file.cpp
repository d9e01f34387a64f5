#include "quarnet/io/temp_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <random>
#include <vector>

#include "quarnet/errors.hpp"

namespace quarnet::io {
namespace {

constexpr std::string_view kMark = ".tmp-";
constexpr std::size_t kDigits = 12;

struct Split {
  std::string folder;  // "" or ending in '/'
  std::string name;
};

Split split(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return {std::string(), path};
  return {path.substr(0, slash + 1), path.substr(slash + 1)};
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

}  // namespace

std::string_view extension_of(std::string_view name) {
  const auto dot = name.find_last_of('.');
  if (dot == std::string_view::npos) return {};
  if (name.find_first_not_of('.') >= dot) return {};  // only dots before it: ".bashrc", "..."
  return name.substr(dot);
}

std::string temp_name_beside(const std::string& path) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  const Split p = split(path);
  char digits[kDigits + 1];
  std::snprintf(digits, sizeof digits, "%012llx", static_cast<unsigned long long>(rng() & 0xffffffffffffULL));
  return p.folder + "." + p.name + std::string(kMark) + digits + std::string(extension_of(p.name));
}

bool is_temp_name_of(std::string_view name, std::string_view target) {
  const std::string_view ext = extension_of(target);
  if (name.size() != 1 + target.size() + kMark.size() + kDigits + ext.size()) return false;
  if (name[0] != '.' || name.substr(1, target.size()) != target) return false;
  name.remove_prefix(1 + target.size());
  if (name.substr(0, kMark.size()) != kMark) return false;
  name.remove_prefix(kMark.size());
  if (!std::all_of(name.begin(), name.begin() + kDigits, is_lower_hex)) return false;
  return name.substr(kDigits) == ext;
}

std::size_t remove_stale_temp_files(const std::string& path) {
  const Split p = split(path);
  const std::string folder = p.folder.empty() ? std::string(".") : p.folder;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) {
    if (errno == ENOENT || errno == ENOTDIR) return 0;
    throw OsError(errno, folder);
  }
  std::vector<std::string> stale;
  errno = 0;
  while (const dirent* entry = ::readdir(dir)) {
    if (is_temp_name_of(entry->d_name, p.name)) stale.emplace_back(entry->d_name);
  }
  const int read_error = errno;
  const int fd = ::dirfd(dir);
  std::size_t removed = 0;
  try {
    if (read_error != 0) throw OsError(read_error, folder);
    for (const std::string& name : stale) {
      struct stat st {};
      if (::fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno == ENOENT) continue;
        throw OsError(errno, p.folder + name);
      }
      if (!S_ISREG(st.st_mode)) continue;  // never one of ours
      if (::unlinkat(fd, name.c_str(), 0) != 0) {
        if (errno == ENOENT) continue;
        throw OsError(errno, p.folder + name);
      }
      ++removed;
    }
  } catch (...) {
    ::closedir(dir);
    throw;
  }
  ::closedir(dir);
  return removed;
}

int probe_write_beside(const std::string& path, std::uint64_t bytes) {
  constexpr std::size_t kBlock = 4096;
  const std::size_t n = static_cast<std::size_t>(std::clamp<std::uint64_t>(bytes, kBlock, 1u << 20));
  const std::string probe = temp_name_beside(path);
  const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  const std::vector<char> zeros(kBlock);
  int error = 0;
  for (std::size_t done = 0; done < n && error == 0;) {
    const ssize_t w = ::write(fd, zeros.data(), std::min(kBlock, n - done));
    if (w < 0) {
      if (errno != EINTR) error = errno;
    } else if (w == 0) {
      error = EIO;
    } else {
      done += static_cast<std::size_t>(w);
    }
  }
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  ::unlink(probe.c_str());
  return error;
}

}  // namespace quarnet::io
