// Error types of the core library. The binding layer maps them onto the
// interpreter's built-in exceptions: OsError -> OSError (FileNotFoundError,
// PermissionError, ... chosen by errno), FormatError -> ValueError.
#pragma once

#include <stdexcept>
#include <string>

namespace quarnet {

// A failed operating-system call on a file; carries errno and the path.
class OsError : public std::runtime_error {
 public:
  OsError(int code, std::string path);
  int code() const noexcept { return code_; }
  const std::string& path() const noexcept { return path_; }

 private:
  int code_;
  std::string path_;
};

// Content that does not follow its format: truncated, corrupt or out of range.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An argument the caller got wrong (shape, dtype, range).
class ArgumentError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

}  // namespace quarnet
