#!/usr/bin/env bash
# Builds every fuzz/<name>_fuzzer.cpp with clang and libFuzzer (ASan+UBSan) in
# build/fuzz and runs each for the given seconds over its committed seed corpus
# fuzz/corpus/<name>/. New inputs go to fuzz/corpus-work/<name>/ (not
# committed); crashes are written to build/fuzz/artifacts/. Each fuzzer's own
# status lines go to build/fuzz/logs/<target>.log: one line per target here,
# and the log's last lines when it fails.
#   fuzz/run_fuzzers.sh [seconds-per-target]    (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}

CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DQUARNET_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="-fno-sanitize-recover=undefined" >/dev/null
cmake --build build/fuzz
mkdir -p build/fuzz/artifacts build/fuzz/logs

status=0
for src in fuzz/*_fuzzer.cpp; do
  target=$(basename "$src" .cpp)
  name=${target%_fuzzer}
  log=build/fuzz/logs/$target.log
  mkdir -p "fuzz/corpus/$name" "fuzz/corpus-work/$name"
  if "build/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
      -artifact_prefix="build/fuzz/artifacts/$target-" "fuzz/corpus-work/$name" "fuzz/corpus/$name" >"$log" 2>&1; then
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "== $target: ${seconds}s over fuzz/corpus/$name, ${runs:-?} inputs, no finding (log: $log)"
  else
    echo "!! $target failed; the last lines of $log:"
    tail -n 30 "$log"
    status=1
  fi
done
exit $status
