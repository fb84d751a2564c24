#!/usr/bin/env bash
# Installs the build into a temporary prefix and builds a small program
# against that copy, once through CMake's find_package and once through
# pkg-config, then runs both; python-can then finds the installed interface
# and, beside it, the library.
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

# Nothing points Python at the copy but the site directory: the library is
# found beside the package. A device on port 1 refuses, so opening fails.
python=/usr/bin/python3
if ! "$python" -c 'import can' 2>/dev/null; then
  echo "python-can is not installed (Debian package python3-can): Python package not checked"
  exit 0
fi
site=$(find "$prefix" -type d -name dist-packages | head -n 1)
# The path goes to a file: the library's threads write to standard output.
env -u LD_LIBRARY_PATH -u QUILVANE_SDK_LIBRARY PYTHONPATH="$site" "$python" -B -c "import can, sys, quilvane_can.library as l
try:
    can.Bus(interface='quilvane', channel='tcp://127.0.0.1:1')
except can.CanInitializationError:
    open(sys.argv[1], 'w').write(l.load_library()._name)" "$work/loaded" >/dev/null
loaded=$(cat "$work/loaded")
[ "$loaded" = "$libdir/libQUILVANE_SDK.so" ] || { echo "python-can loaded \"$loaded\", not the installed library"; exit 1; }
echo "found by python-can: ok"
