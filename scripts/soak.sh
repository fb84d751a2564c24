#!/usr/bin/env bash
# The soak under random faults: builds tests/soak with AddressSanitizer +
# UndefinedBehaviorSanitizer in build-soak and runs it for MINUTES inside a
# private network namespace (tests/discovery/isolated_network.sh), where its
# searches and probes broadcast. Needs root.
#   scripts/soak.sh MINUTES [SEED]      SEED defaults to the date's seconds
# Fails on any violation, crash or sanitizer report; the library's output
# is in build-soak/soak.log. QUILVANE_SOAK_BUILD_DIR overrides the build directory.
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
set +e
QUILVANE_NETWORKS=two-adapters "$root/tests/discovery/isolated_network.sh" \
    "$build/tests/soak/quilvane_soak" $((minutes * 60)) "$seed" "$log"
status=$?
set -e

# A sanitizer stops the program at once, its report in the captured output.
if grep -qE 'Sanitizer|runtime error' "$log"; then
    grep -E -A40 'ERROR: .*Sanitizer|runtime error' "$log" | head -n 80 >&2
    [ "$status" -ne 0 ] || status=1
fi
if [ "$status" -ne 0 ]; then
    echo "soak failed (exit $status, seed $seed); the library's output: $log" >&2
    tail -n 20 "$log" >&2
fi
exit "$status"
