// Temporary files beside a target: the one naming rule of every staged
// write, the recognition of files a killed writer left under that rule, and
// the probe that tells a full disk from other causes of a short file.
//
// A temporary name is ".<name>.tmp-<12 lowercase hex digits><ext>" in the
// target's folder, where <name> is the target's file name and <ext> its
// extension as os.path.splitext gives it (empty for none), so writers that
// choose a format from the name still see it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quarnet::io {

// The extension of a file name as os.path.splitext gives it: from the last
// dot, unless only dots come before it ("", ".ply", ".gz" of "a.tar.gz").
std::string_view extension_of(std::string_view name);

// A fresh temporary name beside `path` (random digits, new at each call).
std::string temp_name_beside(const std::string& path);

// Whether the file name `name` is a temporary name of a target named `target`
// (both bare file names, no folder).
bool is_temp_name_of(std::string_view name, std::string_view target);

// Removes the regular files beside `path` that carry its temporary names,
// left by a writer that was stopped. Returns how many were removed. A missing
// folder holds none. Throws OsError.
std::size_t remove_stale_temp_files(const std::string& path);

// Writes `bytes` zero bytes (at least one block) to a temporary file beside
// `path`, flushes and removes it. Returns the errno the write met (ENOSPC,
// EDQUOT, ...), or 0 when it went through.
int probe_write_beside(const std::string& path, std::uint64_t bytes);

}  // namespace quarnet::io
