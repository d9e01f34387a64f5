#include "staged_files.hpp"

#include <cerrno>
#include <cstring>
#include <string>

#include "quarnet/errors.hpp"
#include "quarnet/io/temp_file.hpp"
#include "quarnet/ply/file_check.hpp"

namespace tessaron {
namespace {

// The path as the file system takes it (os.fsencode), and back.
std::string fs_path(const qh::Namespace& ns, const py::object& path) {
  return ns["os"].attr("fsencode")(path).cast<std::string>();
}
py::object py_path(const qh::Namespace& ns, const std::string& path) { return ns["os"].attr("fsdecode")(py::bytes(path)); }

// raise OSError(code, message, filename): the subclass follows the code.
[[noreturn]] void raise_os_error(int code, const std::string& message, const py::object& filename) {
  py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(code, message, filename);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// Runs core file work, raising its OsError as the interpreter's OSError.
template <class F>
decltype(auto) core_io(const qh::Namespace& ns, F&& work) {
  try {
    return qh::without_gil(std::forward<F>(work));
  } catch (const quarnet::OsError& e) {
    raise_os_error(e.code(), std::strerror(e.code()), py_path(ns, e.path()));
  }
}

}  // namespace

py::str writing(const py::object& path) { return qh::cat("while writing ", path); }

void require_whole_ply(const qh::Namespace& ns, const py::object& temp) {
  const std::string path = fs_path(ns, temp);
  const quarnet::ply::FileCheck check = core_io(ns, [&] { return quarnet::ply::check_file(path); });
  if (check.ok) return;
  int code = check.missing > 0 ? qh::without_gil([&] { return quarnet::io::probe_write_beside(path, check.missing); }) : 0;
  if (code == 0) code = EIO;  // the disk takes more: something else cut the file short
  raise_os_error(code, std::string(std::strerror(code)) + "; " + check.problem, temp);
}

StagedFiles::~StagedFiles() {
  if (files_.empty()) return;
  // Leaving on an error: drop the partial files, keep the error as it is.
  PyObject *type, *value, *trace;
  PyErr_Fetch(&type, &value, &trace);
  for (const auto& f : files_) {
    try {
      if (ns_.os_path().exists(f.temp)) ns_["os"].attr("remove")(f.temp);
    } catch (py::error_already_set&) {
    }
  }
  PyErr_Restore(type, value, trace);
}

py::object StagedFiles::stage(const py::object& path) {
  const std::string target = fs_path(ns_, path);
  qh::with_note([&] { core_io(ns_, [&] { return quarnet::io::remove_stale_temp_files(target); }); },
                [&](auto&) { return writing(path); });
  files_.push_back({py_path(ns_, quarnet::io::temp_name_beside(target)), path});
  return files_.back().temp;
}

void StagedFiles::commit() {
  py::object os = ns_["os"];
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
