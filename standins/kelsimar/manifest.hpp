// The manifest the stand-in trainer's child program writes for each object
// run it accepts: model_path/<text>/manifest.json.
#pragma once

#include <string>

#include "object_check.hpp"

namespace kelsimar {

// Checks the inputs (check_inputs), creates model_path/<text> and writes the
// manifest there atomically; returns its path. Nothing is written when a
// check fails.
std::string run_object_check(const ObjectRun& run);

}  // namespace kelsimar
