# shellcheck shell=bash disable=SC2034
# The Debian 12 packages that the demo, and then the build and all the
# tests, need; read by install-deps.sh and check-install-list.sh. 32-bit
# wine (the product is a 32-bit DLL) needs the i386 architecture.
demo_packages=(build-essential cmake pkg-config libcjson-dev)
packages=(
  "${demo_packages[@]}" git
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-14 libfuzzer-14-dev libclang-rt-14-dev
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
  wine wine64 wine32:i386 apt dpkg-dev iproute2 util-linux procps tshark
  python3 python3-can
  mono-complete llvm icoutils unzip
)
