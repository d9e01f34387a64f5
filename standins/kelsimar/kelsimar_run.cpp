// kelsimar-run: the child program of the stand-in trainer Kelsimar. Checks one
// object's inputs and writes model_path/<text>/manifest.json. Prints nothing on
// success; on failure prints the reason to stderr and exits with status 2 for a
// bad command line, 1 for inputs that do not pass.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "manifest.hpp"
#include "object_check.hpp"

namespace {
int fail(int status, const std::exception& e) {
  std::fprintf(stderr, "kelsimar-run: %s\n", e.what());
  return status;
}
}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kelsimar::ObjectRun run;
  try {
    run = kelsimar::parse_arguments(args);
  } catch (const std::exception& e) {
    return fail(2, e);
  }
  try {
    kelsimar::run_object_check(run);
  } catch (const std::exception& e) {
    return fail(1, e);
  }
  return 0;
}
