#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a small program
# against that copy, once through CMake's find_package and once through
# pkg-config, then runs both.
#   installed_package.sh BUILD_DIR SOURCE_DIR
set -euo pipefail
build=$1
source=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
libdir=$(dirname "$(find "$prefix" -name 'libQUILVANE_SDK.so' | head -n 1)")
export LD_LIBRARY_PATH=$libdir

cmake -S "$source/tests/install/consumer" -B "$work/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake-build" >/dev/null
"$work/cmake-build/consumer" >/dev/null
echo "found with find_package: ok"

export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -o "$work/pc-consumer" "$source/tests/install/consumer/consumer.c" $(pkg-config --cflags --libs QUILVANE_SDK)
"$work/pc-consumer" >/dev/null
echo "found with pkg-config: ok"
