#!/usr/bin/env bash
# Cross-builds QUILVANE_SDK.dll for i686 (the product) and x86_64, checks
# that each exports exactly the public names, and runs under wine, for each
# architecture against its own DLL, every test that uses only the public
# exports, each test case a wine process of its own with a time limit (ctest
# in the Windows build folder). Searches, probes and the i686
# misaligned-stack calls run inside a private network namespace. The
# simulator and sim_broker are Linux programs from the native build
# (QUILVANE_NATIVE_BUILD, default build), whose Linux test programs also run
# quilvane.exe and quilvane-sim.exe, and check the two simulators against
# each other.
set -euo pipefail
cd "$(dirname "$0")/.."
cjson=$(bash cmake/fetch-cjson-source.sh third_party)
expected=$(grep -E '^\s+QUILVANE_' src/api/QUILVANE_SDK.def | tr -d ' ' | sort)
native=${QUILVANE_NATIVE_BUILD:-build}
prefix=$PWD/build-windows-x86_64/wineprefix
started=$SECONDS

[ -f "$native/CMakeCache.txt" ] || cmake -S . -B "$native" -DQUILVANE_WERROR=ON >/dev/null
# The Linux test programs that also test the Windows tool and simulator.
cmake --build "$native" -j2 --target quilvane-sim sim_broker quilvane quilvane_cli_test quilvane_sim_test \
  isolated_network_test >/dev/null
sim=$PWD/$native/tools/quilvane-sim/quilvane-sim
broker=$PWD/$native/tests/tools/sim_broker

for arch in i686 x86_64; do
  dir=build-windows-$arch
  cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-$arch.cmake -DCMAKE_BUILD_TYPE=Release \
    -DQUILVANE_CJSON_SOURCE_DIR="$PWD/$cjson" -DQUILVANE_WERROR=ON -DQUILVANE_WINEPREFIX="$prefix" \
    -DQUILVANE_TEST_SIM="$sim" -DQUILVANE_SIM_BROKER="$broker" -DQUILVANE_NATIVE_BUILD="$PWD/$native" >/dev/null
  cmake --build "$dir" -j2 >/dev/null
  exported=$($arch-w64-mingw32-objdump -p "$dir/src/QUILVANE_SDK.dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | grep -oE '\] \S+' | cut -c3- | sort)
  if [ "$exported" != "$expected" ]; then
    echo "FAILED: $arch DLL exports differ from the public names:"
    diff <(echo "$expected") <(echo "$exported") || true
    exit 1
  fi
  echo "$arch DLL exports exactly the $(echo "$expected" | wc -l) public names"
done

# A 64-bit prefix made afresh; it runs the i686 programs too (wine32).
export WINEPREFIX=$prefix WINEDEBUG=-all
wineserver -k 2>/dev/null || true
rm -rf "$prefix"
WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot --init >/dev/null 2>&1
timeout 60 wineserver -w
scratch=$(mktemp -d)
# Each step may fail harmlessly (nothing left to stop); none may turn a pass into a failure.
trap 'wineserver -k 2>/dev/null || true; rm -rf "$scratch"' EXIT

failed=0
for arch in i686 x86_64; do
  echo "--- $arch tests under wine"
  # Wine without its 32-bit part runs an i686 program as nothing: no test
  # case would be found. Every program must list its own.
  cases=$(cd build-windows-$arch && ctest -N | grep -c 'Test *#[0-9]*: [A-Za-z]*\.' || true)
  if [ "$cases" = 0 ]; then
    echo "FAILED: the $arch programs listed no test cases: did they run under wine?"
    failed=1
    continue
  fi
  (cd build-windows-$arch && ctest --output-on-failure -j2) 2>&1 | tee "$scratch/ctest" || true
  grep -q '^100% tests passed' "$scratch/ctest" || failed=1
done
echo "Windows checks took $((SECONDS - started)) s"
[ "$failed" = 0 ] || { echo "FAILED: Windows tests"; exit 1; }
