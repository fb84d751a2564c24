#!/usr/bin/env bash
# Resident memory of an application that opens a TCP client and never reads,
# while the simulator sends classic frames as fast as it can on 1, 8 and 256
# channels (loopback), until the memory stops growing. Each case runs twice:
# flooding (as fast as the device can write; the library's receive thread
# then outruns its decoding and drops chunks, with a line each) and paced at
# RATE frames/s (default 1,000,000), at which decoding keeps up and every
# channel queue fills to its bound of 204,800 frames.
#   scripts/flood-memory.sh [CHANNELS...]     default: 1 8 256
# The paced 256-channel case holds 256 full queues, about 4.2 GB, and takes
# about 80 s.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DQUILVANE_WERROR=ON >/dev/null
cmake --build build -j2 --target flood_memory quilvane-sim >/dev/null
sim=build/tools/quilvane-sim/quilvane-sim
scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$scratch"' EXIT

measure() {
  local channels=$1 rate=$2 list count sim_pid port status=0 sent
  list=$(seq -s, 0 $((channels - 1)))
  # Half as much again as the queues hold, so every queue can reach its bound.
  count=$((channels * 204800 * 3 / 2))
  "$sim" --tcp-listen 127.0.0.1:0 --generate "$count" --channels "$list" --records-per-packet 100 \
    --record classic --rate "$rate" --duration 300 >"$scratch/sim.out" 2>&1 &
  sim_pid=$!
  for _ in $(seq 100); do grep -q '^ready' "$scratch/sim.out" && break; sleep 0.05; done
  port=$(sed -n 's/^ready tcp-listen 127.0.0.1:\([0-9]*\)$/\1/p' "$scratch/sim.out")
  build/bench/flood_memory/flood_memory "$port" 240 >"$scratch/app.out" 2>"$scratch/app.err" || status=$?
  kill "$sim_pid" 2>/dev/null || true
  wait "$sim_pid" 2>/dev/null || true
  sent=$(sed -n 's/^summary sent_frames=\([0-9]*\).*/\1/p' "$scratch/sim.out")
  echo "channels $channels, rate $rate: $(grep '^rss:' "$scratch/app.out"); device sent ${sent:-?} of $count frames;" \
    "$(grep -c 'Processing queue full' "$scratch/app.err" || true) chunk drop lines," \
    "$(grep -c 'cache overflow' "$scratch/app.err" || true) overflow lines"
  [ "$status" -eq 0 ] || { echo "memory did not settle within 240 s" >&2; exit 1; }
}

for channels in ${@:-1 8 256}; do
  measure "$channels" 0
  measure "$channels" "${RATE:-1000000}"
done
