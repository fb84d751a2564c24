#!/usr/bin/env bash
# Captures traffic of the simulator inside a private network namespace and
# checks that the Wireshark dissector shows what was sent.
#
#   dissector_test.sh QUILVANE_SIM DISSECTOR_LUA
#
# Needs root (namespace, capture) and tshark; skips otherwise.
set -euo pipefail
sim=$(realpath "$1")
lua=$(realpath "$2")
here=$(cd "$(dirname "$0")" && pwd)
py=/usr/bin/python3

if [ "${3:-}" != --inside ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "skipped: capturing in a private network namespace needs root"
    exit 77
  fi
  for tool in tshark dumpcap unshare; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is not installed"; exit 77; }
  done
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  unshare -n bash "$0" "$sim" "$lua" --inside "$work"
  "$py" "$here/wire.py" check "$work/capture.pcapng" "$lua"
  echo "dissector shows what was sent"
  exit 0
fi

# Inside the namespace: only its own loopback exists.
work=$4
cd "$work"
ip link set lo up
# Whatever this script started and is still running ends with it.
cleanup() { for p in $(jobs -p); do kill "$p" 2>/dev/null || true; done; }
trap cleanup EXIT

wait_for() {  # FILE TEXT: up to 10 s
  for _ in $(seq 100); do grep -q "$2" "$1" 2>/dev/null && return 0; sleep 0.1; done
  echo "no '$2' in $1:"; cat "$1"; return 1
}
start_sim() {  # NAME ARGS...: a simulator in the background, waited for until ready
  local name=$1; shift
  "$sim" "$@" --duration 10 >"$name.out" 2>&1 &
  wait_for "$name.out" '^ready'
}
run_sim() { "$sim" "$@" --duration 10 >/dev/null; }

dumpcap -i lo -w capture.pcapng -a duration:60 2>dumpcap.err &
capture=$!
# dumpcap says "Capturing on" before it captures: the first traffic could be
# lost. A marker datagram (to a closed port) seen in the file means it is on.
for _ in $(seq 100); do
  echo capture-marker >/dev/udp/127.0.0.1/9 || true
  grep -aq capture-marker capture.pcapng 2>/dev/null && break
  sleep 0.1
done
grep -aq capture-marker capture.pcapng || { echo "dumpcap captured nothing:"; cat dumpcap.err; exit 1; }

# TCP on the default port, every packet written in pieces, echoed back.
start_sim echo4001 --tcp-listen 127.0.0.1:4001 --echo --record fd
run_sim --tcp-connect 127.0.0.1:4001 --generate 40 --record mixed --records-per-packet 3 --channels 0,1,2 \
   --data-length 12 --fault cut --seed 7 --expect 40
# Several packets in one segment and one packet across two.
start_sim sink4002 --tcp-listen 127.0.0.1:4002
"$py" "$here/wire.py" tcp 4002
# TCP on a port that no preference names, with one spoiled checksum.
start_sim sink4777 --tcp-listen 127.0.0.1:4777
run_sim --tcp-connect 127.0.0.1:4777 --generate 10 --record fd --data-length 64 --fault bad-checksum --fault-at 4
# UDP, on the default port and on one found by content.
start_sim echo4001u --udp 127.0.0.1:4001 --echo --expect 12
run_sim --udp 127.0.0.1:4003 --peer 127.0.0.1:4001 --generate 12 --record mixed --records-per-packet 2 --expect 12
start_sim sink5001u --udp 127.0.0.1:5001 --expect 5
run_sim --udp 127.0.0.1:5002 --peer 127.0.0.1:5001 --generate 5 --record classic
# Search and probes; the second device spoils its VCI reply's CRC.
start_sim device1 --respond search-json,search-pelix,probe-pelix,probe-vci --bind 127.0.0.1 \
   --device-id 0a0b0c0d0e0f --name "Bench unit 7" --serial SN-0042 --mac 0.10.11.12.13.14
start_sim device2 --respond probe-vci --bind 127.0.0.2 --device-id 0a0b0c0d0e0f --reply-fault bad-crc
"$py" "$here/wire.py" discovery

sleep 0.5  # the last replies reach the capture
kill -INT "$capture"
wait "$capture" || true
