// Whole-file reads and crash-safe whole-file writes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace quarnet::io {

// Reads the whole file. Throws OsError (errno and path) when it cannot.
std::vector<std::uint8_t> read_file(const std::string& path);

// Writes `bytes` to a temporary file beside `path`, flushes it to disk and
// renames it over `path`, so a reader never sees a partial file and an
// existing file is replaced only by a complete one. Throws OsError.
void write_file_atomic(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace quarnet::io
