#!/usr/bin/env bash
# Installs the Debian packages of scripts/install-list.sh that are missing:
# all of them, or with "demo" only what the demo needs.
#   install-deps.sh [demo]
set -euo pipefail
# shellcheck source=scripts/install-list.sh
source "$(dirname "$0")/install-list.sh"
if [ "${1-}" = demo ]; then
  packages=("${demo_packages[@]}")
fi
if [[ " ${packages[*]} " == *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
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
