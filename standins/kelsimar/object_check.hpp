// The object run of the stand-in trainer's child program: its command line
// and the check of the object's inputs.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>

namespace kelsimar {

// One object's run, as given on the child's command line.
struct ObjectRun {
  std::string source_path;  // the scene's training data
  std::string model_path;   // where models go; the manifest goes to model_path/text
  std::string mask_path;    // the object's mask folder
  std::string text;         // the object's name
  std::string images;
  long long n4views = 0;
  std::optional<std::string> checkpoint;
};

// Parses "--source-path S --model-path M --mask-path K --text T --images I
// --n4views N [--checkpoint C]", options in any order, each once. A value is
// taken as is, even when it starts with "--". Throws ArgumentError naming the
// fault: unknown, repeated, valueless or missing option, an empty model path,
// a text that is not a single folder name, an N4views that is not a positive
// integer.
ObjectRun parse_arguments(std::span<const std::string> args);

// Checks that the source and mask folders are folders, that the mask folder
// holds mask images and that a given checkpoint exists; returns the mask
// image count. Throws OsError (ENOENT, ENOTDIR, ...) for a path and
// ArgumentError for a mask folder without mask images.
std::size_t check_inputs(const ObjectRun& run);

}  // namespace kelsimar
