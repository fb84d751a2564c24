#!/usr/bin/env bash
# Installs the Debian 12 packages the build, the tests and the demo need,
# only those that are missing. 32-bit wine (the product is a 32-bit DLL)
# needs the i386 architecture.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git
  libcjson-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 dpkg-dev iproute2 util-linux procps tshark
  python3 python3-can
)
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
