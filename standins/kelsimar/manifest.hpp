// The manifest the stand-in trainer's child program writes for each object
// run it accepts: model_path/<text>/manifest.json.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "object_check.hpp"

namespace kelsimar {

// UTC with milliseconds, e.g. "2026-12-08T15:59:14.123Z".
std::string utc_timestamp(std::chrono::system_clock::time_point t);

// The manifest as JSON, one key per line, ending in a newline. Text that is
// not valid UTF-8 has each offending byte replaced by U+FFFD.
std::string manifest_json(const ObjectRun& run, std::size_t mask_images, const std::string& started,
                          const std::string& finished);

// Checks the inputs (check_inputs), creates model_path/<text> and writes the
// manifest there atomically; returns its path. Nothing is written when a
// check fails.
std::string run_object_check(const ObjectRun& run);

}  // namespace kelsimar
