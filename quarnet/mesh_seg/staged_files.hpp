// Output files of the cut step, written so that sub_mesh.ply never stands
// for incomplete output:
//
//   - every file is written under a temporary name beside its final one (the
//     core's naming) and renamed into place once all of an object's files are
//     complete and flushed, in staging order;
//   - staging a file first removes what a stopped run left under that
//     file's temporary names;
//   - a PLY file a library wrote is checked against its header before it is
//     put in place: a short file raises OSError (ENOSPC where a probe write
//     shows the disk is full).
#pragma once

#include <vector>

#include "tessaron.hpp"

namespace tessaron {

// The note of an error while writing `path`: "while writing <path>".
py::str writing(const py::object& path);

// OSError unless the file at `temp` holds the whole PLY its header
// promises; the error names `temp`.
void require_whole_ply(const py::object& temp);

class StagedFiles {
 public:
  explicit StagedFiles(const qh::Namespace& ns) : ns_(ns) {}
  StagedFiles(const StagedFiles&) = delete;
  StagedFiles& operator=(const StagedFiles&) = delete;
  ~StagedFiles();  // removes the files not put in place, keeping any error as it is

  // Removes stale temporary files of `path` and returns a fresh temporary
  // name for it, which commit() renames to `path`.
  py::object stage(const py::object& path);

  // Flushes each file to disk and renames it into place, in staging order.
  void commit();

 private:
  struct File {
    py::object temp, path;
  };
  const qh::Namespace& ns_;
  std::vector<File> files_;
};

}  // namespace tessaron
