#!/usr/bin/env bash
# How long QUILVANE_Close and QUILVANE_Exit take with busy connections, on
# Linux and for both Windows DLLs under wine (devices played on loopback).
#   scripts/close-times.sh [TRIES]     (default 20)
# Run scripts/windows-check.sh first: it builds the DLLs and the wine prefix.
set -euo pipefail
cd "$(dirname "$0")/.."
tries=${1:-20}

cmake --build build --target close_times -j2 >/dev/null
export WINEPREFIX="$PWD/build-windows-x86_64/wineprefix" WINEDEBUG=-all
for build in native i686 x86_64; do
  if [ "$build" = native ]; then
    run=(build/bench/close_times/close_times)
  else
    cmake --build "build-windows-$build" --target close_times -j2 >/dev/null
    run=(wine "build-windows-$build/src/close_times.exe")
  fi
  echo "== $build"
  "${run[@]}" "$tries" 2>&1 >/dev/null | tr -d '\r' | grep '^close: '
  exits=$(for _ in $(seq "$tries"); do "${run[@]}" exit 2>&1 >/dev/null | tr -d '\r' | sed -n 's/^close: exit \(.*\) ms$/\1/p'; done)
  sort -n <<<"$exits" | awk -v n="$tries" '{ t[NR] = $1 } END {
    printf "close: %-44s median %7.1f ms   worst %7.1f ms   (%d tries)\n", "exit, one connection of each type", t[int(NR / 2) + 1], t[NR], NR }'
done
