#!/usr/bin/env bash
# Installs the build into a temporary prefix, builds a small program against
# that copy through CMake's find_package and through pkg-config, runs both,
# and has python-can find the installed interface.
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

export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -o "$work/pc-consumer" "$source/tests/install/consumer/consumer.c" $(pkg-config --cflags --libs QUILVANE_SDK)
"$work/pc-consumer" >/dev/null

# Nothing points Python at the copy but the site directory: python-can finds
# the interface there and the library beside it. A device on port 1 refuses,
# so opening fails. The path goes to a file: the library's threads write to
# standard output.
env -u LD_LIBRARY_PATH -u QUILVANE_SDK_LIBRARY PYTHONPATH="$(find "$prefix" -type d -name dist-packages)" \
  /usr/bin/python3 -B -c "import can, sys, quilvane_can.library as l
try:
    can.Bus(interface='quilvane', channel='tcp://127.0.0.1:1')
except can.CanInitializationError:
    open(sys.argv[1], 'w').write(l.load_library()._name)" "$work/loaded" >/dev/null
loaded=$(cat "$work/loaded")
[ "$loaded" = "$libdir/libQUILVANE_SDK.so" ] || { echo "python-can loaded \"$loaded\", not the installed library"; exit 1; }
echo "the installed copy is found by find_package, pkg-config and python-can: ok"
