#!/usr/bin/env bash
# The Windows builds' cross-compiling emulator: runs a test program under wine.
#
#   WINEPREFIX=PREFIX [QUILVANE_SIM=PATH QUILVANE_SIM_BROKER=PATH] wine_run.sh PROGRAM [ARGUMENT...]
#
# With both set, sim_broker runs the simulator beside the program, which
# finds it by QUILVANE_SIM_BROKER_PORT. A program that printed nothing did
# not run (wine without its 32-bit part runs an i686 program as nothing and
# exits 0): that fails.
set -uo pipefail
if [ -z "${WINEPREFIX-}" ] || [ $# = 0 ]; then
  echo "usage: WINEPREFIX=PREFIX [QUILVANE_SIM=PATH QUILVANE_SIM_BROKER=PATH] wine_run.sh PROGRAM [ARGUMENT...]" >&2
  exit 2
fi
export WINEDEBUG=-all
scratch=$(mktemp -d)
brokerpid=''
trap '[ -z "$brokerpid" ] || kill "$brokerpid" 2>/dev/null || true; rm -rf "$scratch"' EXIT

if [ -n "${QUILVANE_SIM-}" ] && [ -n "${QUILVANE_SIM_BROKER-}" ]; then
  "$QUILVANE_SIM_BROKER" "$QUILVANE_SIM" >"$scratch/broker" &
  brokerpid=$!
  for _ in $(seq 100); do grep -q '^ready ' "$scratch/broker" && break; sleep 0.05; done
  QUILVANE_SIM_BROKER_PORT=$(sed -n 's/^ready //p' "$scratch/broker")
  [ -n "$QUILVANE_SIM_BROKER_PORT" ] || { echo "wine_run.sh: sim_broker did not start" >&2; exit 1; }
  export QUILVANE_SIM_BROKER_PORT
fi

# Into files shown as they grow, not a pipe: wine's helper processes inherit
# the program's standard error and outlive it by seconds, which a pipe would
# make ctest wait for.
: >"$scratch/out"
: >"$scratch/err"
wine "$@" >"$scratch/out" 2>"$scratch/err" &
winepid=$!
tail -q -s 0.1 -n +1 -f --pid="$winepid" "$scratch/out" "$scratch/err"
wait "$winepid"
status=$?
[ -s "$scratch/out" ] || { echo "wine_run.sh: $1 printed nothing: it did not run under wine" >&2; exit 1; }
exit "$status"
