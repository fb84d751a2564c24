#!/usr/bin/env bash
# Installs and builds only what it needs (the library, the simulator and the
# example, in build-demo), starts the device simulator on loopback and runs
# the example program against it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh demo
cmake -S . -B build-demo -DQUILVANE_BUILD_TESTS=OFF -DQUILVANE_BUILD_BENCH=OFF >/dev/null
cmake --build build-demo -j2 --target quilvane-sim quilvane_demo >/dev/null

ready=$(mktemp)
build-demo/tools/quilvane-sim/quilvane-sim --tcp-listen 127.0.0.1:0 --echo --duration 30 --idle-ms 1000 >"$ready" &
sim=$!
trap 'kill $sim 2>/dev/null || true; rm -f "$ready"' EXIT
for _ in $(seq 100); do grep -q '^ready' "$ready" && break; sleep 0.1; done
port=$(sed -n 's/^ready .*:\([0-9]*\)$/\1/p' "$ready")

# The library's own progress lines go to stdout too; the frames are the lines that start with "(".
build-demo/examples/quilvane_demo 127.0.0.1 "$port"
wait $sim || true
echo "simulator: $(grep '^summary' "$ready" || echo 'no summary')"
