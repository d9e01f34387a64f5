#include "staged_files.hpp"

#include <cerrno>
#include <string>

#include "quarnet/io/file.hpp"
#include "quarnet/io/temp_file.hpp"
#include "quarnet/ply/file_check.hpp"

namespace tessaron {

py::str writing(const py::object& path) { return qh::cat("while writing ", path); }

void require_whole_ply(const py::object& temp) {
  const std::string path = qh::fs_encode(temp);
  const quarnet::ply::FileCheck check = qh::core_io([&] { return quarnet::ply::check_file(path); });
  if (check.ok) return;
  int code = check.missing > 0 ? qh::without_gil([&] { return quarnet::io::probe_write_beside(path, check.missing); }) : 0;
  if (code == 0) code = EIO;  // the disk takes more: something else cut the file short
  qh::raise_os_error(code, temp, check.problem);
}

StagedFiles::~StagedFiles() {
  if (files_.empty()) return;
  // Leaving on an error: drop the partial files, keep the error as it is.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  for (const auto& f : files_) {
    try {
      if (ns_.os_path().exists(f.temp)) ns_.os().attr("remove")(f.temp);
    } catch (py::error_already_set&) {
    }
  }
  PyErr_Restore(type, value, trace);
}

py::object StagedFiles::stage(const py::object& path) {
  const std::string target = qh::fs_encode(path);
  qh::with_note([&] { qh::core_io([&] { return quarnet::io::remove_stale_temp_files(target); }); },
                [&](auto&) { return writing(path); });
  files_.push_back({qh::fs_decode(quarnet::io::temp_name_beside(target)), path});
  return files_.back().temp;
}

void StagedFiles::commit() {
  const qh::Os os = ns_.os();
  for (const auto& f : files_) {
    qh::with_note(
        [&] {
          py::object fd = os.attr("open")(f.temp, os.attr("O_RDONLY"));
          try {
            os.attr("fsync")(fd);
          } catch (py::error_already_set&) {
            os.attr("close")(fd);
            throw;
          }
          os.attr("close")(fd);
        },
        [&](auto&) { return writing(f.path); });
  }
  while (!files_.empty()) {
    os.attr("replace")(files_.front().temp, files_.front().path);
    files_.erase(files_.begin());
  }
}

}  // namespace tessaron

namespace tessaron {
namespace {

// _write_staged(path, data): the bytes `data` at `path`, staged as every output is.
py::object write_staged(const qh::Call&, py::object path, py::object data) {
  const std::string target = qh::fs_encode(path);
  const std::string bytes = py::bytes(data);
  qh::with_note(
      [&] {
        qh::core_io([&] {
          quarnet::io::remove_stale_temp_files(target);
          quarnet::io::write_file_atomic(
              target, {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
        });
      },
      [&](auto&) { return writing(path); });
  return py::none();
}

// _remove_staged(path): how many temporary files of `path` a stopped writer left, now removed.
py::object remove_staged(const qh::Call&, py::object path) {
  const std::string target = qh::fs_encode(path);
  return py::int_(qh::core_io([&] { return quarnet::io::remove_stale_temp_files(target); }));
}

}  // namespace

void define_staged_files(const qh::Namespace& ns) {
  qh::def(ns, "_write_staged", {"path", "data"}, write_staged);
  qh::def(ns, "_remove_staged", {"path"}, remove_staged);
}

}  // namespace tessaron
