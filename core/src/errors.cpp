#include "quarnet/errors.hpp"

#include <cstring>

namespace quarnet {

OsError::OsError(int code, std::string path)
    : std::runtime_error(std::string(std::strerror(code)) + ": " + path), code_(code), path_(std::move(path)) {}

}  // namespace quarnet
