#!/usr/bin/env bash
# What one TCP server handle holds, for the 32-bit DLL under wine and, for
# comparison, natively (bench/rack_capacity; the simulator plays the
# devices on loopback):
#  - devices: N devices connect in echo mode; the application sends one
#    frame to all of them and counts the echoes (devices served), for each N;
#  - flood: three devices send on all 256 channels as fast as they can and
#    nobody reads; memory before, at its peak and once settled, the receive
#    budget's lines, and whether the process lived and how long its close and
#    exit took.
#   scripts/rack-capacity.sh [DEVICES...]      default: 1000 1500 2000
# BUILDS="i686 native" and CASES="devices flood" pick what runs;
# DEVICE_SECONDS (150) bounds each device count, plus one last send (under
# wine devices are accepted slowly once there are a few hundred); FLOOD_SECONDS (120) bounds
# the flood, which ends earlier once memory has
# grown by less than 1 MiB in FLOOD_SETTLE seconds (20: channel queues grow
# by doubling, so memory holds still for seconds between steps). The i686
# build is made in build-win32-measure with its own wine prefix there; the
# native build is build. LOGS=DIR keeps each run's output there. Every run
# has a time limit.
set -euo pipefail
cd "$(dirname "$0")/.."
counts=${*:-1000 1500 2000}
builds=${BUILDS:-i686 native}
win=build-win32-measure
cases=${CASES:-devices flood}
device_seconds=${DEVICE_SECONDS:-150}
flood_seconds=${FLOOD_SECONDS:-120}
flood_settle=${FLOOD_SETTLE:-20}

[ -f build/CMakeCache.txt ] || cmake -S . -B build -DQUILVANE_WERROR=ON >/dev/null
cmake --build build -j2 --target rack_capacity quilvane-sim >/dev/null
sim=build/tools/quilvane-sim/quilvane-sim
if [[ $builds == *i686* ]]; then
  if [ ! -f "$win/CMakeCache.txt" ]; then
    cjson=$(bash cmake/fetch-cjson-source.sh third_party)
    cmake --no-warn-unused-cli -S . -B "$win" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-i686.cmake \
      -DCMAKE_BUILD_TYPE=Release -DQUILVANE_CJSON_SOURCE_DIR="$PWD/$cjson" -DQUILVANE_WERROR=ON \
      -DQUILVANE_WINEPREFIX="$PWD/$win/wineprefix" >/dev/null
  fi
  cmake --build "$win" -j2 --target rack_capacity >/dev/null
  export WINEPREFIX=$PWD/$win/wineprefix WINEDEBUG=-all
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    WINEDLLOVERRIDES="mscoree,mshtml=" timeout 300 wineboot --init >/dev/null 2>&1
    timeout 60 wineserver -w
  fi
fi

# Each device holds a descriptor in the simulator and one in the application.
ulimit -n "$(ulimit -Hn)"
scratch=$(mktemp -d)
cleanup() {
  kill $(jobs -p) 2>/dev/null || true
  [[ $builds != *i686* ]] || wineserver -k 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT

free_port() {
  /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# run BUILD LIMIT MODE PORT SECONDS [EXPECTED]: the application, output in
# $scratch/app.out (carriage returns removed) and app.err; sets status.
start_app() {
  local build=$1 limit=$2
  shift 2
  if [ "$build" = native ]; then
    timeout "$limit" build/bench/rack_capacity/rack_capacity "$@" >"$scratch/app.raw" 2>"$scratch/app.err" &
  else
    timeout "$limit" wine "$win/src/rack_capacity.exe" "$@" >"$scratch/app.raw" 2>"$scratch/app.err" &
  fi
  app_pid=$!
  for _ in $(seq 600); do
    grep -q '^listening' "$scratch/app.raw" 2>/dev/null && return 0
    kill -0 "$app_pid" 2>/dev/null || return 0
    sleep 0.1
  done
}

finish() {
  status=0
  wait "$app_pid" || status=$?
  kill "${sim_pids[@]}" 2>/dev/null || true
  wait "${sim_pids[@]}" 2>/dev/null || true
  tr -d '\r' <"$scratch/app.raw" >"$scratch/app.out"
  tr -d '\r' <"$scratch/app.err" >"$scratch/app.errs"
  if [ -n "${LOGS:-}" ]; then
    mkdir -p "$LOGS"
    for f in app.out app.errs sim.out sim.err; do cp "$scratch/$f" "$LOGS/$1.$f"; done
  fi
}

field() { sed -n "s/^$1//p" "$scratch/app.out" | tail -1; }
lines() { grep -c -- "$1" "$2" || true; }

devices() {
  local build=$1 n=$2 port left part
  port=$(free_port)
  start_app "$build" $((device_seconds + 120)) devices "$port" "$device_seconds" "$n"
  # One simulator makes at most 1024 connections.
  sim_pids=()
  : >"$scratch/sim.out"
  : >"$scratch/sim.err"
  for ((left = n; left > 0; left -= part)); do
    part=$((left > 1000 ? 1000 : left))
    timeout $((device_seconds + 120)) "$sim" --tcp-connect "127.0.0.1:$port" --connections "$part" --echo \
      --duration $((device_seconds + 110)) >>"$scratch/sim.out" 2>>"$scratch/sim.err" &
    sim_pids+=($!)
  done
  finish "$build-devices-$n"
  printf '%-6s %5s devices: served %s (accepted %s, refused for want of a thread %s, thread starts failed %s);' \
    "$build" "$n" "$(field 'devices: ')" "$(lines 'New client connected' "$scratch/app.out")" \
    "$(lines 'No thread for client' "$scratch/app.errs")" "$(lines 'Thread start failed' "$scratch/app.errs")"
  printf ' last %s; %s; %s; exit status %s\n' "$(grep '^round' "$scratch/app.out" | tail -1)" \
    "$(grep '^memory' "$scratch/app.out" || echo 'no memory line')" "$(field 'closed: ' || true)" "$status"
  { grep -v -e 'No thread for client' -e 'Thread start failed' "$scratch/app.errs" || true; } | sort | uniq -c |
    sort -rn | head -3 | sed 's/^/         stderr: /'
}

flood() {
  local build=$1 port channels
  port=$(free_port)
  channels=$(seq -s, 0 255)
  start_app "$build" $((flood_seconds + 60)) flood "$port" "$flood_seconds" "$flood_settle"
  timeout $((flood_seconds + 60)) "$sim" --tcp-connect "127.0.0.1:$port" --connections 3 --generate 20000000 \
    --channels "$channels" --records-per-packet 100 --record classic --duration "$flood_seconds" \
    >"$scratch/sim.out" 2>"$scratch/sim.err" &
  sim_pids=($!)
  finish "$build-flood"
  echo "$build flood, 3 devices x 256 channels, nobody reads:"
  grep -e '^resident' -e '^private' -e '^address' -e '^flood' -e '^closed' "$scratch/app.out" | sed 's/^/    /'
  echo "    budget full lines $(lines 'Receive budget full' "$scratch/app.errs")," \
    "budget drop count lines $(lines 'Frames dropped by the receive budget' "$scratch/app.errs")," \
    "chunk drop lines $(lines 'Processing queue full' "$scratch/app.errs")," \
    "out of memory lines $(lines 'Out of memory' "$scratch/app.errs")," \
    "thread errors $(lines 'Thread ended by an error' "$scratch/app.errs"); exit status $status"
  grep -q '^closed' "$scratch/app.out" || echo "    FAILED: the process did not close (status $status)"
  echo "    device: $(grep '^summary' "$scratch/sim.out" || echo 'no summary')"
}

for build in $builds; do
  if [[ $cases == *devices* ]]; then
    for n in $counts; do devices "$build" "$n"; done
  fi
  [[ $cases != *flood* ]] || flood "$build"
done
