#!/usr/bin/env bash
# Sets up a fresh machine (scripts/setup.sh --test), then runs every test:
# the core unit tests (GoogleTest), the same under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the module tests (pytest).
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test || { echo "setup failed"; exit 1; }

declare -A result
run() {  # run <label> <command...>
  local label=$1; shift
  echo "== $label"
  if "$@"; then result[$label]=passed; else result[$label]=FAILED; fi
}

core_tests() {  # core_tests <build dir> <cmake options...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQUARNET_BUILD_TESTS=ON "$@" >/dev/null &&
    cmake --build "$dir" &&
    ctest --test-dir "$dir" --output-on-failure
}

module_tests() {
  .venv/bin/pytest -q -p no:cacheprovider tests/python
  local rc=$?
  if [ $rc -eq 5 ]; then
    echo "pytest collected no tests: the module test tree is missing"
  fi
  return $rc
}

run "core unit tests" core_tests build/core-tests -DCMAKE_BUILD_TYPE=Release
run "core unit tests (ASan+UBSan)" core_tests build/core-asan -DCMAKE_BUILD_TYPE=Debug -DQUARNET_SANITIZE=ON
run "module tests" module_tests

echo
echo "== summary"
status=0
for label in "core unit tests" "core unit tests (ASan+UBSan)" "module tests"; do
  echo "  $label: ${result[$label]:-not run}"
  [ "${result[$label]:-}" = passed ] || status=1
done
exit $status
