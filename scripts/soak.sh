#!/usr/bin/env bash
# The soak under random faults (tests/soak), built with AddressSanitizer +
# UndefinedBehaviorSanitizer, for MINUTES inside a private network namespace
# (tests/discovery/isolated_network.sh), where its searches broadcast. Needs root.
#   scripts/soak.sh MINUTES [SEED]      SEED defaults to the date's seconds
# Fails on any violation, crash or sanitizer report. The library's output is
# in BUILD/soak.log; BUILD is build-soak unless QUILVANE_SOAK_BUILD_DIR says otherwise.
set -euo pipefail

minutes=${1:?usage: scripts/soak.sh MINUTES [SEED]}
seed=${2:-$(date +%s)}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILVANE_SOAK_BUILD_DIR:-$root/build-soak}

mkdir -p "$build"
cmake -S "$root" -B "$build" -DQUILVANE_WERROR=ON -DQUILVANE_SANITIZE=address,undefined \
    -DQUILVANE_BUILD_BENCH=OFF >"$build/configure.log" 2>&1 || { cat "$build/configure.log"; exit 1; }
cmake --build "$build" --target quilvane_soak -j2

log=$build/soak.log
: >"$log"
status=0
# A hung lane is a finding too: stopped 5 minutes after the end, status 124.
QUILVANE_NETWORKS=two-adapters timeout $((minutes * 60 + 300)) "$root/tests/discovery/isolated_network.sh" \
    "$build/tests/soak/quilvane_soak" $((minutes * 60)) "$seed" "$log" 3>&1 >>"$log" 2>&1 || status=$?

# A sanitizer stops the program at once (a leak report comes at exit), its report in the log.
if grep -qE 'Sanitizer|runtime error' "$log"; then
    grep -E -A40 'ERROR: .*Sanitizer|runtime error' "$log" | head -n 80 >&2
    [ "$status" -ne 0 ] || status=1
fi
if [ "$status" -ne 0 ]; then
    echo "soak failed (exit $status, seed $seed); the library's output: $log" >&2
    tail -n 20 "$log" >&2
fi
exit "$status"
