#!/usr/bin/env bash
# Everything CI checks: installs what is missing, checks that the install
# list names every package the scripts and tests call, builds, and runs every
# test (native, with AddressSanitizer + UndefinedBehaviorSanitizer, with
# ThreadSanitizer), a one-minute soak under random device faults, every
# fuzz target for a bounded time, the Windows DLLs under wine, and the
# release archives.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
bash scripts/check-install-list.sh

stage() { printf '\n=== %s ===\n' "$*"; }

build_and_test() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DQUILVANE_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j2
  (cd "$dir" && ctest --output-on-failure -j2 --timeout 300)
}

stage "native build and tests"
build_and_test build
stage "AddressSanitizer + UndefinedBehaviorSanitizer"
build_and_test build-asan -DQUILVANE_SANITIZE=address,undefined -DQUILVANE_BUILD_BENCH=OFF
stage "ThreadSanitizer"
TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
  build_and_test build-tsan -DQUILVANE_SANITIZE=thread -DQUILVANE_BUILD_BENCH=OFF
stage "soak under random faults, 1 minute (AddressSanitizer + UndefinedBehaviorSanitizer)"
QUILVANE_SOAK_BUILD_DIR=build-asan bash scripts/soak.sh 1
stage "fuzzing"
bash scripts/fuzz.sh all 40  # six targets stay under 4 minutes
stage "Windows DLLs"
bash scripts/windows-check.sh
stage "release archives (Windows SDK ZIP, Debian packages)"
bash scripts/package-check.sh
stage "all checks passed"
