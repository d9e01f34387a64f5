// Whether a PLY file on disk holds exactly what its header promises: the
// check of a file a library has just written, before it is put in place.
#pragma once

#include <cstdint>
#include <string>

namespace quarnet::ply {

struct FileCheck {
  bool ok = false;
  std::uint64_t size = 0;     // bytes the file holds
  std::uint64_t missing = 0;  // bytes short of the least it promises; 0 when it is not short
  std::string problem;        // when not ok, what is wrong: "incomplete PLY file: ..."
};

// Reads the header with bounded reads and walks the body without holding
// it. A file that is no regular file is not opened (its problem says what it
// is). Throws OsError when the file cannot be opened or read, EISDIR for a
// folder.
FileCheck check_file(const std::string& path);

}  // namespace quarnet::ply
