#!/usr/bin/env bash
# Captures traffic of the simulator inside a private network namespace and
# checks that the Wireshark dissector shows what was sent (wire.py).
#
#   dissector_test.sh QUILVANE_SIM DISSECTOR_LUA
#
# Needs root (namespace, capture) and tshark; skips otherwise.
set -euo pipefail
[ "$(id -u)" = 0 ] || { echo "skipped: capturing in a private network namespace needs root"; exit 77; }
for tool in tshark dumpcap unshare; do
  command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
done
wire=$(dirname "$(realpath "$0")")/wire.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unshare -n /usr/bin/python3 "$wire" capture "$(realpath "$1")" "$work/capture.pcapng"
/usr/bin/python3 "$wire" check "$work/capture.pcapng" "$(realpath "$2")"
echo "dissector shows what was sent"
