#!/usr/bin/env bash
# Unpacks Debian's cJSON source package into $1 (default: third_party), for
# the Windows builds. Adds a deb-src entry for the suites the machine already
# uses when there is none. Prints the source folder.
set -euo pipefail
dest=${1:-third_party}
mkdir -p "$dest"
found=$(find "$dest" -maxdepth 2 -name cJSON.c -printf '%h\n' 2>/dev/null | head -n 1)
if [ -n "$found" ]; then echo "$found"; exit 0; fi

if ! grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources \
      > /etc/apt/sources.list.d/debian-src.sources
  else
    grep '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' > /etc/apt/sources.list.d/debian-src.list
  fi
  apt-get update -qq >&2
fi
(cd "$dest" && apt-get source -qq cjson >&2)
find "$dest" -maxdepth 2 -name cJSON.c -printf '%h\n' | head -n 1
