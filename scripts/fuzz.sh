#!/usr/bin/env bash
# Builds the libFuzzer targets with clang 14 and runs them for a bounded time.
#   scripts/fuzz.sh TARGET SECONDS     one target, e.g. search_reply_fuzz 600
#   scripts/fuzz.sh all SECONDS_EACH   every target in turn
#   scripts/fuzz.sh list               the targets
# The targets are the files fuzz/*_fuzz.cpp. Each starts from its committed
# seeds in fuzz/corpus/TARGET/ and uses fuzz/TARGET.dict and the libFuzzer
# flags in fuzz/TARGET.flags when they exist. Exits non-zero on any finding
# (the input is kept under the build directory's fuzz-artifacts/TARGET/) and
# prints per target the executions and the edges covered.
# QUILVANE_FUZZ_BUILD_DIR overrides the build directory.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILVANE_FUZZ_BUILD_DIR:-$root/build-fuzz}
mapfile -t targets < <(cd "$root/fuzz" && ls -1 ./*_fuzz.cpp | sed 's|^\./||; s|\.cpp$||')

usage() {
    echo "usage: $0 TARGET SECONDS | all SECONDS_EACH | list (targets: ${targets[*]})" >&2
    exit 2
}

[ $# -ge 1 ] || usage
if [ "$1" = list ]; then
    printf '%s\n' "${targets[@]}"
    exit 0
fi
[ $# -eq 2 ] && [[ $2 =~ ^[0-9]+$ ]] || usage
if [ "$1" = all ]; then
    chosen=("${targets[@]}")
elif printf '%s\n' "${targets[@]}" | grep -qx -- "$1"; then
    chosen=("$1")
else
    usage
fi
seconds=$2

mkdir -p "$build"
CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -DQUILVANE_BUILD_FUZZ=ON -DQUILVANE_BUILD_TESTS=OFF \
    -DQUILVANE_BUILD_BENCH=OFF -DQUILVANE_BUILD_TOOLS=OFF -DQUILVANE_WERROR=ON >"$build/configure.log" 2>&1 ||
    { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target "${chosen[@]}" -j2

# The committed seeds stay as they are; what the fuzzer finds goes to a
# working corpus in the build directory.
run_one() {
    local target=$1 flags=() log=$build/fuzz-$1.log
    local corpus=$build/fuzz-corpus/$target artifacts=$build/fuzz-artifacts/$target
    mkdir -p "$corpus" "$artifacts"
    [ -f "$root/fuzz/$target.dict" ] && flags+=("-dict=$root/fuzz/$target.dict")
    [ -f "$root/fuzz/$target.flags" ] && read -r -a more <"$root/fuzz/$target.flags" && flags+=("${more[@]}")
    # The library's own log lines would swamp the output: closed, while
    # libFuzzer and the sanitizers keep a copy of standard error for theirs.
    local status=0
    "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
        -close_fd_mask=3 -artifact_prefix="$artifacts/" "${flags[@]}" "$corpus" "$root/fuzz/corpus/$target" \
        >"$log" 2>&1 || status=$?
    local executions edges
    executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    edges=$(grep -o 'cov: [0-9]*' "$log" | tail -n 1 | cut -d' ' -f2)
    if [ "$status" -ne 0 ]; then
        tail -n 40 "$log"
        echo "$target: FOUND A PROBLEM (exit $status); input in $artifacts, log $log" >&2
        return 1
    fi
    echo "$target: ${executions:-unknown} executions in ${seconds} s, ${edges:-unknown} edges covered (log: $log)"
}

failed=()
for target in "${chosen[@]}"; do
    run_one "$target" || failed+=("$target")
done
if [ ${#failed[@]} -ne 0 ]; then
    echo "fuzzing found problems in: ${failed[*]}" >&2
    exit 1
fi
