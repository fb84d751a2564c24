#!/usr/bin/env bash
# Cross-builds QUILVANE_SDK.dll for i686 (the product) and x86_64, checks
# that each exports exactly the public names, and runs the x86_64 DLL under
# wine: the C check program, then one frame exchanged with the simulator.
set -euo pipefail
cd "$(dirname "$0")/.."
cjson=$(bash cmake/fetch-cjson-source.sh third_party)
expected=$(grep -E '^\s+QUILVANE_' src/api/QUILVANE_SDK.def | tr -d ' ' | sort)

for arch in i686 x86_64; do
  dir=build-windows-$arch
  cmake --no-warn-unused-cli -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-$arch.cmake -DCMAKE_BUILD_TYPE=Release \
    -DQUILVANE_CJSON_SOURCE_DIR="$PWD/$cjson" -DQUILVANE_WERROR=ON >/dev/null
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

export WINEPREFIX="$PWD/build-windows-x86_64/wineprefix" WINEDEBUG=-all
sim=build/tools/quilvane-sim/quilvane-sim
args=()
if [ -x "$sim" ]; then
  # The simulator plays the device on loopback; the DLL connects to it.
  ready=$(mktemp)
  "$sim" --tcp-listen 127.0.0.1:0 --echo --duration 60 --idle-ms 2000 >"$ready" &
  simpid=$!
  trap 'kill $simpid 2>/dev/null || true; rm -f "$ready"' EXIT
  for _ in $(seq 100); do grep -q '^ready' "$ready" && break; sleep 0.1; done
  args+=("$(sed -n 's/^ready .*:\([0-9]*\)$/\1/p' "$ready")")
fi
(cd build-windows-x86_64/src && wine dll_check.exe "${args[@]}") | tee /tmp/dll_check.$$ | grep -E 'passed|FAILED'
grep -q ' 0 failed' /tmp/dll_check.$$
rm -f /tmp/dll_check.$$
