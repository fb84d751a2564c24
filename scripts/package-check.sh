#!/usr/bin/env bash
# Makes the release archives with `cmake --build build --target package` and
# checks what users get:
# - the Windows SDK ZIP: its layout and SHA256SUMS; each import library
#   (QUILVANE_SDK.lib for Microsoft's linker, libQUILVANE_SDK.dll.a for
#   MinGW) names exactly the exports of its DLL; each DLL carries the project
#   version, as do quilvane.exe and quilvane-sim.exe; the C example, linked
#   with MinGW against lib/x86 and lib/x64 QUILVANE_SDK.lib, runs under wine
#   against the simulator on loopback, and so does the archive README's
#   quick start with the archive's own programs;
# - the Debian packages: their declared dependencies resolve on this
#   machine; installed with dpkg into a scratch root (never the machine),
#   the out-of-tree consumer builds against them through pkg-config and
#   CMake, quilvane --help and a python-can bus run from the installed files
#   only, and the dissector lies in Wireshark's global Lua plugin folder.
# The ZIP reuses scripts/windows-check.sh's cross builds and wine prefix when
# they are there. QUILVANE_NATIVE_BUILD: the native build folder (build).
set -euo pipefail
cd "$(dirname "$0")/.."
native=${QUILVANE_NATIVE_BUILD:-build}
version=$(sed -n 's/^project(QUILVANE_SDK VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
work=$(mktemp -d)
prefix=$PWD/build-windows-x86_64/wineprefix
[ -d "$prefix" ] || prefix=$PWD/$native/windows-sdk/wineprefix
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  WINEPREFIX=$prefix wineserver -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAILED: $*"; exit 1; }
started=$SECONDS

if [ -f build-windows-i686/CMakeCache.txt ] && [ -f build-windows-x86_64/CMakeCache.txt ]; then
  export QUILVANE_WINDOWS_BUILDS=$PWD/build-windows
fi
cmake -S . -B "$native" -DQUILVANE_WERROR=ON >/dev/null
cmake --build "$native" -j2 --target package >"$work/package.log" 2>&1 || { cat "$work/package.log"; fail "cmake --build $native --target package"; }
zip=$native/QUILVANE_SDK-$version-windows.zip
debs=()
for name in libquilvane-sdk0 libquilvane-sdk-dev quilvane-tools; do
  debs+=("$(realpath "$native/${name}_${version}_"*.deb)")
done
ls -l "$zip" "${debs[@]}"

# A simulator on loopback that echoes; prints its port.
echo_sim() {
  "$1" --tcp-listen 127.0.0.1:0 --echo --duration 60 >"$work/sim.out" &
  pids+=($!)
  for _ in $(seq 100); do grep -q '^ready ' "$work/sim.out" && break; sleep 0.05; done
  sed -n 's/^ready .*:\([0-9]*\)$/\1/p' "$work/sim.out"
}

echo "--- Windows SDK archive"
unzip -q "$zip" -d "$work/zip"
sdk=$work/zip/QUILVANE_SDK-$version-windows
for file in README.txt SHA256SUMS include/quilvane_sdk.h examples/c/quilvane_demo.c csharp/NativeMethods.cs \
  csharp/QuilvaneConnection.cs csharp/example/QuilvaneDemo.cs python/quilvane_can/bus.py \
  "python/quilvane_can-$version.dist-info/entry_points.txt" wireshark/quilvane.lua \
  {bin/x86,bin/x64}/{QUILVANE_SDK.dll,quilvane.exe,quilvane-sim.exe} {lib/x86,lib/x64}/{QUILVANE_SDK.lib,libQUILVANE_SDK.dll.a}; do
  [ -f "$sdk/$file" ] || fail "the ZIP has no $file"
done
(cd "$sdk" && sha256sum --quiet --strict -c SHA256SUMS) || fail "SHA256SUMS does not match the files"
listed=$(cut -c67- "$sdk/SHA256SUMS")
present=$(cd "$sdk" && find . -type f ! -name SHA256SUMS | cut -c3- | LC_ALL=C sort)
[ "$listed" = "$present" ] || fail "SHA256SUMS does not list exactly the archive's files: $(diff <(echo "$listed") <(echo "$present"))"

# The version as Windows shows it: the strings, and the fixed file version
# (VS_FIXEDFILEINFO after its signature, major.minor and patch.0 as 16-bit words).
IFS=. read -r major minor patch <<<"$version"
word() { printf '%02x%02x' $(($1 & 255)) $(($1 >> 8)); }
fixed="bd04effe00000100$(word "$minor")$(word "$major")0000$(word "$patch")"
expected=$(grep -E '^\s+QUILVANE_' src/api/QUILVANE_SDK.def | tr -d ' ' | sort)
for folder in x86 x64; do
  [ $folder = x86 ] && arch=i686 || arch=x86_64
  dll=$sdk/bin/$folder/QUILVANE_SDK.dll
  exported=$($arch-w64-mingw32-objdump -p "$dll" |
    sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | grep -E '^\s+\[' | grep -oE '\] \S+' | cut -c3- | sort)
  [ "$exported" = "$expected" ] || fail "$folder DLL exports differ from QUILVANE_SDK.def"
  for lib in QUILVANE_SDK.lib libQUILVANE_SDK.dll.a; do
    # __imp_NAME, with the underscore that the 32-bit C convention prefixes.
    imported=$(llvm-nm "$sdk/lib/$folder/$lib" 2>/dev/null | grep -oE '__imp_\S+' | sed 's/^__imp_//' |
      { [ $folder = x86 ] && sed 's/^_//' || cat; } | sort -u)
    [ "$imported" = "$exported" ] || fail "$folder $lib names other imports than the DLL exports: $(diff <(echo "$exported") <(echo "$imported"))"
  done
  for file in QUILVANE_SDK.dll quilvane.exe quilvane-sim.exe; do
    strings=$(wrestool -x --raw --type=version "$sdk/bin/$folder/$file" | x86_64-w64-mingw32-strings -el | tr '\n' ' ')
    [[ $strings == *"ProductName QUILVANE_SDK "*"ProductVersion $version "* ]] || fail "$folder $file version strings: $strings"
    [[ $strings == *"FileVersion $version "* ]] || fail "$folder $file file version: $strings"
    wrestool -x --raw --type=version "$sdk/bin/$folder/$file" | od -An -tx1 -v | tr -d ' \n' | grep -q "$fixed" ||
      fail "$folder $file fixed file version is not $version"
  done
  echo "$folder: the DLL exports the $(echo "$expected" | wc -l) names, both import libraries name exactly them; DLL and programs are version $version"
done

if [ ! -d "$prefix" ]; then
  export WINEPREFIX=$prefix WINEDEBUG=-all
  WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot --init >/dev/null 2>&1
  timeout 60 wineserver -w
fi
sim=$native/tools/quilvane-sim/quilvane-sim
for folder in x86 x64; do
  [ $folder = x86 ] && arch=i686 || arch=x86_64
  mkdir -p "$work/$folder"
  $arch-w64-mingw32-gcc-posix -Wall -Wextra -Werror -static -I"$sdk/include" "$sdk/examples/c/quilvane_demo.c" \
    "$sdk/lib/$folder/QUILVANE_SDK.lib" -o "$work/$folder/quilvane_demo.exe"
  cp "$sdk/bin/$folder/QUILVANE_SDK.dll" "$work/$folder/"
  port=$(echo_sim "$sim")
  WINEPREFIX=$prefix timeout 120 tests/windows/wine_run.sh "$work/$folder/quilvane_demo.exe" 127.0.0.1 "$port" \
    >"$work/demo.out" 2>&1 || { cat "$work/demo.out"; fail "the $folder example under wine"; }
  [ "$(grep -c '^([0-9.]*) can0 12[3-6]#' "$work/demo.out")" = 4 ] || { cat "$work/demo.out"; fail "the $folder example's echoes"; }
  echo "$folder: the C example linked against lib/$folder/QUILVANE_SDK.lib got its 4 frames back under wine"

  # The README's quick start with the archive's own programs, on a free port.
  (cd "$sdk/bin/$folder" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 60 wine quilvane-sim.exe --tcp-listen 127.0.0.1:0 \
    --connections 2 --generate 10 --rate 50 --verbose --duration 60 >"$work/qs-sim.out" 2>"$work/qs-sim.err") &
  pids+=($!)
  for _ in $(seq 200); do grep -q '^ready ' "$work/qs-sim.out" && break; sleep 0.1; done
  port=$(sed -n 's/^ready .*:\([0-9]*\)$/\1/p' "$work/qs-sim.out")
  [ -n "$port" ] || fail "the $folder quilvane-sim.exe did not start"
  quick() { (cd "$sdk/bin/$folder" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 60 wine quilvane.exe "$@" 2>>"$work/qs.err"); }
  quick send "tcp://127.0.0.1:$port" 123#DEADBEEF >/dev/null || { cat "$work/qs.err"; fail "the $folder quick start's send"; }
  dumped=$(quick dump "tcp://127.0.0.1:$port" --count 10) || { cat "$work/qs.err"; fail "the $folder quick start's dump"; }
  [ "$(grep -c '^([0-9.]*) can0 1[0-9A-F][0-9A-F]#' <<<"$dumped")" = 10 ] || fail "the $folder quick start dumped: $dumped"
  for _ in $(seq 50); do grep -q 'can0 123#DEADBEEF' "$work/qs-sim.err" && break; sleep 0.1; done
  grep -q 'can0 123#DEADBEEF' "$work/qs-sim.err" || fail "the $folder quick start's simulator did not show the frame sent"
  echo "$folder: the README's quick start with the archive's quilvane-sim.exe and quilvane.exe works under wine"
done

echo "--- Debian packages"
dpkg-deb -f "${debs[0]}" Depends | grep -q 'libcjson1' || fail "the runtime package does not depend on libcjson1"
dpkg-deb -f "${debs[2]}" Recommends | grep -q 'python3-can' || fail "the tools package does not recommend python3-can"
apt-get install -s -q "${debs[@]}" >"$work/apt.out" 2>&1 || { cat "$work/apt.out"; fail "apt cannot install the packages"; }
root=$work/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# Unpacked only: the scratch root has none of the dependencies, which apt
# just resolved, and no shell for the runtime package's ldconfig call.
dpkg --root="$root" --force-depends --unpack "${debs[@]}" >/dev/null
libdir=$(dirname "$(find "$root" -name 'libQUILVANE_SDK.so' | head -n 1)")
export LD_LIBRARY_PATH=$libdir

cmake -S tests/install/consumer -B "$work/cmake-consumer" -DCMAKE_PREFIX_PATH="$root/usr" >/dev/null
cmake --build "$work/cmake-consumer" >/dev/null
"$work/cmake-consumer/consumer" >/dev/null
[ "$(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --modversion QUILVANE_SDK)" = "$version" ] || fail "pkg-config version"
cc -o "$work/pc-consumer" tests/install/consumer/consumer.c $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs QUILVANE_SDK)
"$work/pc-consumer" >/dev/null
echo "the consumer builds and runs against the packages through CMake and pkg-config"
"$root/usr/bin/quilvane" --help >"$work/help" 2>&1 || { cat "$work/help"; fail "quilvane --help"; }

# python-can finds the interface in the packaged dist-packages and the library beside it.
port=$(echo_sim "$root/usr/bin/quilvane-sim")
env -u LD_LIBRARY_PATH -u QUILVANE_SDK_LIBRARY PYTHONPATH="$root/usr/lib/python3/dist-packages" /usr/bin/python3 -B -c "
import can, sys, quilvane_can.library as l
with can.Bus(interface='quilvane', channel='tcp://127.0.0.1:' + sys.argv[1]) as bus:
    bus.send(can.Message(arbitration_id=0x123, is_extended_id=False, data=b'\x11\x22'))
    echo = bus.recv(timeout=5)
    open(sys.argv[2], 'w').write(f'{echo.arbitration_id if echo else 0:x} {l.load_library()._name}')" "$port" "$work/python" >/dev/null
[ "$(cat "$work/python")" = "123 $libdir/libQUILVANE_SDK.so" ] || fail "python-can bus: $(cat "$work/python")"

plugins=$(tshark -G folders 2>/dev/null | sed -n 's/^Global Lua Plugins:\s*//p')
[ -f "$root$plugins/quilvane.lua" ] || fail "the dissector is not in Wireshark's global Lua plugin folder $plugins"
echo "quilvane --help, a python-can bus and the dissector's place: ok from the installed files"
echo "package checks took $((SECONDS - started)) s"
