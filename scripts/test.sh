#!/usr/bin/env bash
# Sets up a fresh machine (scripts/setup.sh --test), then runs every check:
#   - the core unit tests (GoogleTest), and again under ASan + UBSan
#   - the module tests (pytest), and again against a sanitizer build of the
#     extension modules with the sanitizer runtimes preloaded into Python
#   - a short fuzz pass of every file parser from its committed seed corpus
#   - the wheel installed into a fresh virtual environment, used from outside
#     the source tree: an import smoke test, and the quarnet command's sample,
#     segment, show and train --workers 2
# Each check says every 30 s that it is still at work while it prints nothing;
# the fuzzers' status lines go to logs under build/fuzz/logs (named, with their
# last lines, when a fuzzer fails). Prints a summary with each check's result
# and time, and exits non-zero if any check failed. CI runs exactly this.
#
#   scripts/test.sh --quick   the edit loop, on a .venv made once by
#                             scripts/setup.sh --test: the core unit tests and
#                             the module tests against an editable install that
#                             rebuilds what changed on import; no apt, wheels,
#                             sanitizers or fuzzing
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=false
case "${1:-}" in
  "") ;;
  --quick) quick=true ;;
  *) echo "usage: scripts/test.sh [--quick]" >&2; exit 2 ;;
esac
if $quick; then
  [ -x .venv/bin/python ] || { echo "no .venv: run bash scripts/setup.sh --test once first"; exit 1; }
else
  began=$SECONDS
  bash scripts/setup.sh --test || { echo "setup failed"; exit 1; }
  setup_took=$((SECONDS - began))
fi

source scripts/lib.sh

checks=()
declare -A result took
run() {  # run <label> <command...>: one check, timed, saying every 30 s that it is still at work while quiet
  local label=$1; shift
  checks+=("$label")
  echo; step "$label"
  if quietly "$@"; then result[$label]=passed; else result[$label]=FAILED; fi
  took[$label]=$(duration $((SECONDS - step_began)))
}

core_tests() {  # core_tests <build dir> <cmake options...>
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DQUARNET_BUILD_TESTS=ON "$@" >/dev/null &&
    cmake --build "$dir" &&
    ctest --test-dir "$dir" --output-on-failure
}

pytest_run() {  # pytest_run [env assignments...]: the module tests; "no tests collected" is an error
  local select=()
  $quick && select=(-m "not slow")   # the edit loop leaves out the large scenes
  env "$@" .venv/bin/pytest -q -p no:cacheprovider "${select[@]}" tests/python
  local rc=$?
  [ $rc -eq 5 ] && echo "pytest collected no tests: the module test tree is missing"
  return $rc
}

sanitized_module_tests() {
  .venv/bin/python -m pip --disable-pip-version-check install -q --no-build-isolation --no-deps --upgrade \
    --target build/asan-site -Cbuild-dir=build/asan-wheel -Ccmake.build-type=RelWithDebInfo \
    -Ccmake.define.QUARNET_SANITIZE=ON . 2> >(grep -v '^WARNING: Location' >&2) || return 1
  pytest_run PYTHONPATH="$root/build/asan-site" \
    LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
}

fuzz_pass() {  # the fuzzers' own status lines go to logs under build/fuzz/logs
  local log=build/fuzz/logs/mesh_formats.log rc=0
  bash fuzz/run_fuzzers.sh 5 || rc=1
  mkdir -p build/fuzz/logs
  .venv/bin/python fuzz/mesh_formats_fuzz.py --seconds 5 2>"$log" || {
    rc=1
    echo "!! mesh_formats_fuzz failed; the last lines of $log:"
    tail -n 30 "$log"
  }
  return $rc
}

installed_wheel() {
  local venv=build/wheel-venv work
  rm -rf "$venv" && python3 -m venv "$venv" || return 1
  "$venv/bin/python" -m pip --disable-pip-version-check install -q torch==2.13.0 2> >(grep -v '^WARNING: Location' >&2) &&
    "$venv/bin/python" -m pip --disable-pip-version-check install -q -c requirements/constraints.txt \
      build/wheelhouse/quarnet-*.whl \
      2> >(grep -v '^WARNING: Location' >&2) || return 1
  work=$(mktemp -d)
  (
    cd "$work" &&
      "$root/$venv/bin/python" -c '
import morlith, quarnet, quarnet.mesh_seg.Tessaron as T, quarnet.gaussian_seg.Vorlantide as V
import quarnet.scene.colmap_loader as cl
assert "site-packages" in T.__file__ and "site-packages" in morlith.__file__, (T.__file__, morlith.__file__)
try:
    import diff_gaussian_rasterization
except ImportError:
    pass
else:
    raise SystemExit("the fused-SSIM stand-in must not be importable by default")
print("import smoke test: ok", T.SceneTessaron, V.Vorlantide, morlith.fast_ssim)
' &&
      "$root/$venv/bin/quarnet" sample scene >"$work/job.log" &&
      "$root/$venv/bin/quarnet" segment scene --mesh scene/mesh.ply >>"$work/job.log" 2>&1 &&
      "$root/$venv/bin/quarnet" show scene/masks --mesh scene/mesh.ply -o segmentation.png >>"$work/job.log" &&
      test -s segmentation.png &&
      "$root/$venv/bin/quarnet" train scene models --workers 2 >>"$work/job.log" &&
      test -s models/box_0/manifest.json && tail -n 12 "$work/job.log"
  )
  local rc=$?
  [ $rc -eq 0 ] || tail -n 40 "$work/job.log" 2>/dev/null
  rm -rf "$work"
  return $rc
}

editable_install() {  # the package from the source tree, rebuilt on import where sources changed;
  # dependencies added since the set-up are installed too (torch is already there)
  .venv/bin/python -m pip --disable-pip-version-check install -q --no-build-isolation -c requirements/constraints.txt \
    -r requirements/test.txt -e . \
    2> >(grep -v '^WARNING: Location' >&2)
}

if $quick; then
  run "editable install" editable_install
  run "core unit tests" core_tests build/core-tests -DCMAKE_BUILD_TYPE=Release
  if [ "${result[editable install]}" = passed ]; then
    run "module tests" pytest_run
  fi
else
  run "core unit tests" core_tests build/core-tests -DCMAKE_BUILD_TYPE=Release
  run "core unit tests (ASan+UBSan)" core_tests build/core-asan -DCMAKE_BUILD_TYPE=Debug -DQUARNET_SANITIZE=ON
  run "module tests" pytest_run
  run "module tests (ASan+UBSan)" sanitized_module_tests
  run "fuzz pass" fuzz_pass
  run "installed wheel" installed_wheel
fi

echo
echo "== summary"
status=0
[ -z "${setup_took:-}" ] || echo "  set-up: done ($(duration "$setup_took"))"
for label in "${checks[@]}"; do
  echo "  $label: ${result[$label]} (${took[$label]})"
  [ "${result[$label]}" = passed ] || status=1
done
exit $status
