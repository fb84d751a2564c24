#!/usr/bin/env bash
# Fails when a command that the scripts, CMake files or tests call, or a
# Python module that the Python tests import, comes from a Debian package
# that scripts/install-list.sh does not name. Machines keep what was
# installed by hand, which hides a missing install step until a fresh
# machine runs the tests; this finds it on any machine. Run it after
# install-deps.sh. A package counts as named when the list names it or a
# package that depends on it directly (build-essential brings gcc), and
# Debian's essential packages are on every machine.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/install-list.sh
source scripts/install-list.sh

# Everything called, in one place. Commands of essential packages (bash,
# coreutils, grep, sed, findutils, diffutils, tar, gzip) are left out.
commands=(
  cmake ctest cc c++ make pkg-config nm                         # builds, installed_package.sh, tests/api
  clang-14 clang++-14                                           # fuzz.sh
  {i686,x86_64}-w64-mingw32-{gcc-posix,g++-posix,windres,objdump} # cmake/toolchain-*, windows-check.sh
  wine wineserver wineboot                                      # windows-check.sh, tests/windows
  apt-get dpkg-source patch xz                                  # apt-get source in fetch-cjson-source.sh
  unshare ip sysctl                                             # isolated_network.sh, dissector_test.sh
  tshark dumpcap                                                # dissector_test.sh, wire.py
  /usr/bin/python3                                              # Python tests, bench.sh, cli_test.cpp
  mcs mono                                                      # tests/csharp
  cpack llvm-dlltool {i686,x86_64}-w64-mingw32-strip              # package target (cmake/windows_sdk*.cmake)
  unzip llvm-nm wrestool x86_64-w64-mingw32-strings             # package-check.sh
)
modules=(can)  # beyond the standard library
demo_commands=(cmake cc c++ make pkg-config)  # demo.sh, from the demo's shorter list
# Only Debian's: a tool installed by hand elsewhere would not be there on a fresh machine.
debian_path=/usr/sbin:/usr/bin:/sbin:/bin

# The packages a list names, and those they depend on directly.
names_of() {
  local out=" " p
  for p in "$@"; do out+="${p%%:*} "; done
  out+=$(dpkg-query -W -f='${Depends}, ${Pre-Depends}\n' "$@" 2>/dev/null |
    sed 's/[,|]/\n/g' | sed 's/([^)]*)//; s/:any//; s/ //g' | grep . | tr '\n' ' ' || true)
  echo "$out "
}

# The packages that own a file; with merged /usr, dpkg may know it under /bin or /sbin.
owners() {
  local alias=/usr$1
  [[ $1 == /usr/* ]] && alias=${1#/usr}
  { dpkg -S "$1" || dpkg -S "$alias"; } 2>/dev/null | grep -v '^diversion' | sed 's/: \/.*//' |
    tr ',' '\n' | sed 's/^ *//; s/:.*//' || true
}

problems=()
# WHAT is provided when a named or essential package owns its file or any
# link on the way to it (alternatives are links in /etc/alternatives).
check() {
  local what=$1 file=$2 found=() hops=0
  while true; do
    mapfile -t -O "${#found[@]}" found < <(owners "$file")
    if [ ! -L "$file" ] || [ $((hops++)) -ge 20 ]; then break; fi
    local next
    next=$(readlink "$file")
    [[ $next == /* ]] || next=$(dirname "$file")/$next
    file=$next
  done
  if [ ${#found[@]} -eq 0 ]; then
    problems+=("$what: $2 belongs to no Debian package (installed by hand?)")
    return
  fi
  for p in "${found[@]}"; do
    [[ $named == *" $p "* ]] && return
    [ "$(dpkg-query -W -f='${Essential}' "$p" 2>/dev/null)" = yes ] && return
  done
  problems+=("$what: $2 comes from $(echo "${found[@]}" | tr ' ' '\n' | sort -u | xargs), which the $list list does not name")
}

check_commands() {
  local c path
  for c in "$@"; do
    path=$c
    [[ $c == /* ]] || path=$(PATH=$debian_path command -v "$c" || true)
    if [ -n "$path" ] && [ -e "$path" ]; then
      check "$c" "$path"
    else
      problems+=("$c: not installed from Debian although install-deps.sh ran; name its package")
    fi
  done
}
named=$(names_of "${demo_packages[@]}") list=demo
check_commands "${demo_commands[@]}"
named=$(names_of "${packages[@]}") list=full
check_commands "${commands[@]}"
for m in "${modules[@]}"; do
  # -I: without the user's site-packages and PYTHON* variables, as installed.
  if file=$(/usr/bin/python3 -I -c "import $m; print($m.__file__)" 2>/dev/null); then
    check "Python module $m" "$file"
  else
    problems+=("Python module $m: /usr/bin/python3 cannot import it; name its package")
  fi
done

if [ ${#problems[@]} -gt 0 ]; then
  echo "FAILED: scripts/install-list.sh misses packages that the scripts and tests need:"
  printf '  %s\n' "${problems[@]}"
  exit 1
fi
echo "install list: each of ${#commands[@]} commands and ${#modules[@]} Python modules comes from a package it names;" \
  "the demo's ${#demo_commands[@]} from the demo's list"
