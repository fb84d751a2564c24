#!/usr/bin/env bash
# A test bench's rack: many devices connected to one TCP server handle of the
# library, each sending one frame a packet at a steady rate on channels 0-3,
# and an application reading every frame (bench/rack_server). Two cases, 100
# devices at 2,000 frames/s each and 200 devices at 1,000 frames/s each,
# 1,600,000 frames in all, simulator and application on the same machine
# (loopback). Each case runs RUNS times (default 3); each run prints the
# frames the simulator sent and the application received, the library's drop
# lines, the CPU seconds of the library's threads still alive at the end
# (lib_cpu), of all its threads including the devices' ended ones
# (lib+gone: the process's CPU but its main thread's) and of the whole
# process, the wall seconds from the open to the last frame, and the longest
# pass of the application over its four channels (pass_s; a channel queue
# keeps 204,800 frames and drops older ones without a line, so a reader held
# up for seconds by a busy machine loses frames that the library delivered).
#   scripts/rack-throughput.sh [RUNS]
# Exit status 1 when any run lost a frame or printed a drop line.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
[ -f build/CMakeCache.txt ] || cmake -S . -B build -DQUILVANE_WERROR=ON >/dev/null
cmake --build build -j2 --target rack_server quilvane-sim >/dev/null
sim=build/tools/quilvane-sim/quilvane-sim
app=build/bench/rack_server/rack_server
channels=0,1,2,3
drop_lines=(-e 'Processing queue full' -e 'cache overflow' -e 'Receive budget' -e 'Out of memory')
# Each device holds a descriptor in each process; leave room for both.
[ "$(ulimit -n)" = unlimited ] || [ "$(ulimit -n)" -ge 1024 ] || ulimit -n 1024
scratch=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$scratch"' EXIT

free_port() {
    /usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

failed=0
format='%-10s %3s %9s %9s %5s %7s %8s %7s %7s %7s\n'
# shellcheck disable=SC2059
printf "$format" case run sent received drops lib_cpu lib+gone total wall pass_s
measure() {
    local devices=$1 rate=$2 run=$3 per port app_pid status=0 sent received drops wall lib gone total pass
    per=$((1600000 / devices))
    port=$(free_port)
    # The application waits at most 30 s for its frames; the devices need 8.
    timeout 60 "$app" "$port" $((devices * per)) 30 "$channels" \
        >"$scratch/app.out" 2>"$scratch/app.err" &
    app_pid=$!
    timeout 90 "$sim" --tcp-connect "127.0.0.1:$port" --connections "$devices" --rate "$rate" \
        --generate "$per" --channels "$channels" --duration 60 \
        >"$scratch/sim.out" 2>"$scratch/sim.err" || true
    wait "$app_pid" || status=$?
    sent=$(sed -n 's/^summary sent_frames=\([0-9]*\).*/\1/p' "$scratch/sim.out")
    received=$(sed -n 's/^rack: frames \([0-9]*\).*/\1/p' "$scratch/app.out")
    drops=$(grep -c "${drop_lines[@]}" "$scratch/app.err" || true)
    read -r wall lib gone total pass < <(sed -n 's/^rack: .* seconds \([0-9.]*\) library_cpu \([0-9.]*\)'`
        `' process_cpu_but_main \([0-9.]*\) total_cpu \([0-9.]*\) longest_pass \([0-9.]*\)$/\1 \2 \3 \4 \5/p' \
        "$scratch/app.out") || true
    # shellcheck disable=SC2059
    printf "$format" "${devices}x$rate" "$run" "${sent:-?}" "${received:-?}" "$drops" "${lib:-?}" \
        "${gone:-?}" "${total:-?}" "${wall:-?}" "${pass:-?}"
    if [ "$status" -ne 0 ] || [ "${sent:-x}" != "$((devices * per))" ] ||
        [ "${received:-x}" != "${sent:-y}" ] || [ "$drops" -ne 0 ]; then
        failed=1
        grep -m 3 "${drop_lines[@]}" "$scratch/app.err" | sed 's/^/    /' || true
    fi
}

for run in $(seq "$runs"); do measure 100 2000 "$run"; done
for run in $(seq "$runs"); do measure 200 1000 "$run"; done
exit "$failed"
