#!/usr/bin/env bash
# Builds and runs the benchmarks, then prints each figure as a ratio against
# its baseline from the same run (medians of repeated, randomly interleaved
# runs, so both see the same machine load).
#   scripts/bench.sh
# QUILVANE_BENCH_BUILD_DIR (default build) and QUILVANE_BENCH_REPETITIONS
# (default 5) adjust it. Transport figures run against the device simulator
# on loopback.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUILVANE_BENCH_BUILD_DIR:-$root/build}
repetitions=${QUILVANE_BENCH_REPETITIONS:-5}

if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DQUILVANE_WERROR=ON >/dev/null
fi
cmake --build "$build" --target codec_bench store_bench transport_bench quilvane-sim -j2 >/dev/null

results=$build/bench-results
mkdir -p "$results"
run() {
    local name=$1
    shift
    "$@" --benchmark_out="$results/$name.json" --benchmark_out_format=json >"$results/$name.log" 2>&1
}
repeated=(--benchmark_repetitions="$repetitions" --benchmark_enable_random_interleaving=true
          --benchmark_report_aggregates_only=true)
run codec "$build/bench/codec_bench" "${repeated[@]}"
run store "$build/bench/store_bench" --benchmark_filter='PushPop|Baseline' "${repeated[@]}"
# Resident memory is read from /proc, so this runs alone in a fresh process.
run memory "$build/bench/store_bench" --benchmark_filter=MemoryAtBound
# Each transport benchmark bounds its own runs; the library's log lines are dropped.
export QUILVANE_SIM=$build/tools/quilvane-sim/quilvane-sim
run transport "$build/bench/transport_bench"

/usr/bin/python3 - "$results" <<'PY'
import json, sys, pathlib

results = {}
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.json")):
    for b in json.loads(path.read_text())["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        results[b["run_name"]] = b

def get(name, field):
    for key, b in results.items():
        if key.startswith(name):
            return b[field]
    sys.exit(f"missing benchmark {name}")

def report(label, value, unit, baseline, base_unit, ratio, goal, ok):
    print(f"{label:8} {value:10.3f} {unit:9} baseline {baseline:10.3f} {base_unit:9} ratio {ratio:7.3f}  "
          f"goal {goal:10} {'met' if ok else 'NOT met'}")

decode = get("BM_DecodePackets", "bytes_per_second") / 1e9
copy = get("BM_MemcpyStream", "bytes_per_second") / 1e9
report("decode", decode, "GB/s", copy, "GB/s", decode / copy, ">= 0.4", decode / copy >= 0.4)

encode = 1e9 / get("BM_EncodePacket", "items_per_second")
memcpy87 = 1e9 / get("BM_Memcpy87", "items_per_second")
report("encode", encode, "ns", memcpy87, "ns", encode / memcpy87, "<= 3", encode / memcpy87 <= 3)

store = get("BM_StorePushPop", "items_per_second") / 1e6
copies = get("BM_FrameCopyBaseline", "items_per_second") / 1e6
lost = get("BM_StorePushPop", "lost")
report("store", store, "Mframe/s", copies, "Mframe/s", store / copies, ">= 5 M/s", store >= 5 and lost == 0)

memory = get("BM_StoreMemoryAtBound", "resident_per_frame_bytes")
report("memory", memory, "x frames", 1.0, "x frames", memory, "<= 1.25", memory <= 1.25)

send = get("BM_SendCan", "items_per_second") / 1e3
raw_send = get("BM_RawSend", "items_per_second") / 1e3
report("send", send, "k/s", raw_send, "k/s", send / raw_send, ">= 0.9", send / raw_send >= 0.9)

receive = get("BM_ReceiveStream", "items_per_second") / 1e3
raw_receive = get("BM_RawReceiveDecode", "items_per_second") / 1e3
report("receive", receive, "kframe/s", raw_receive, "kframe/s", receive / raw_receive, ">= 0.5",
       receive / raw_receive >= 0.5)

for stat in ("median_us", "p99_us"):
    rtt = get("BM_RoundTrip", stat)
    raw_rtt = get("BM_RawRoundTrip", stat)
    goal = "<= 2" if stat == "median_us" else "(none)"
    report("rtt " + stat[:3], rtt, "us", raw_rtt, "us", rtt / raw_rtt, goal,
           rtt / raw_rtt <= 2 if stat == "median_us" else True)
PY
