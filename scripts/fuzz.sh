#!/usr/bin/env bash
# Builds the decoder fuzz target with clang 14 and runs it for a bounded time.
#   scripts/fuzz.sh [seconds]      default 60
# Exits non-zero on any finding (the crashing input is kept under the build
# directory's fuzz-artifacts/) and prints the number of executions.
# QUILVANE_FUZZ_BUILD_DIR overrides the build directory.
set -euo pipefail

seconds=${1:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILVANE_FUZZ_BUILD_DIR:-$root/build-fuzz}

mkdir -p "$build"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DQUILVANE_BUILD_FUZZ=ON -DQUILVANE_BUILD_TESTS=OFF \
    -DQUILVANE_BUILD_BENCH=OFF >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target decoder_fuzz -j2

# The committed seeds stay as they are; what the fuzzer finds goes to a
# working corpus in the build directory.
corpus=$build/fuzz-corpus
artifacts=$build/fuzz-artifacts
mkdir -p "$corpus" "$artifacts"
log=$build/fuzz.log

set +e
"$build/fuzz/decoder_fuzz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$root/fuzz/corpus" >"$log" 2>&1
status=$?
set -e

tail -n 25 "$log"
executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
echo "executions: ${executions:-unknown} in ${seconds} s (log: $log)"
if [ "$status" -ne 0 ]; then
    echo "fuzzing found a problem (exit $status); inputs in $artifacts" >&2
fi
exit "$status"
