// Between the core's errors and paths and the interpreter's: paths as the
// file system's bytes both ways, OSError by errno, notes on errors, and the
// translation of whatever a native body throws into the interpreter's
// built-in exceptions:
//   quarnet::OsError -> OSError by errno (FileNotFoundError, ...),
//   FormatError and ArgumentError -> ValueError, bad_alloc -> MemoryError.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "interpreter.hpp"
#include "quarnet/errors.hpp"

namespace quarnet::host {

// ---- the file system ----------------------------------------------------------

// The file-system bytes of a path (str, bytes or path-like), as os.fsencode
// gives them: a name that is not UTF-8 keeps its own bytes.
std::string fs_encode(py::handle path);
// fs_encode(path), or nothing when `path` is no path at all (a file object, say).
std::optional<std::string> fs_encode_if_path(py::handle path);
// File-system bytes (a path of the core) as str, as os.fsdecode gives them:
// a name that is not UTF-8 reads back as the str it was encoded from.
py::str fs_decode(std::string_view path);

// raise OSError(code, strerror(code), filename), the message followed by
// "; <detail>" when there is one; the code picks the subclass
// (FileNotFoundError, PermissionError, ...).
[[noreturn]] void raise_os_error(int code, py::handle filename, std::string_view detail = {});
// The core's OsError as that OSError, naming `filename`, or without one the
// error's own path.
[[noreturn]] void raise_os_error(const quarnet::OsError& error, py::handle filename = py::handle());

// Runs core file work without the GIL; its OsError leaves as OSError naming
// `filename`, or without one the error's own path.
template <class F>
decltype(auto) core_io(F&& work, py::handle filename = py::handle()) {
  try {
    return without_gil(std::forward<F>(work));
  } catch (const quarnet::OsError& e) {
    raise_os_error(e, filename);
  }
}

// ---- notes --------------------------------------------------------------------

// error.add_note(note) for an ordinary exception (an Exception subclass:
// interrupts and exits get none), where the interpreter has notes (3.11+).
// The exception's type and message stay as they are; a null note adds nothing.
void add_note(const py::error_already_set& error, const py::object& note);

// Runs `work`; an ordinary exception leaving it gains the note note(error).
template <class F, class N>
decltype(auto) with_note(F&& work, N&& note) {
  try {
    return std::forward<F>(work)();
  } catch (py::error_already_set& error) {
    add_note(error, std::forward<N>(note)(error));
    throw;
  }
}

namespace detail {
// Sets the interpreter's error for the C++ exception being handled, by the
// table above (call inside a catch).
void set_error_from_current_exception();
}  // namespace detail

}  // namespace quarnet::host
