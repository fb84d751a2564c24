#!/usr/bin/env bash
# Measures quilvane serve --socketcand on loopback, against quilvane-sim:
#   1. the round trip of a frame (client -> device -> echo -> client) through
#      the bridge, against the library used directly (ctypes, same echo);
#   2. the most frames per second one RAW client receives without a drop;
#   3. the jitter of a 10 ms cyclic job over 10 s, as the device sees it.
#   scripts/socketcand-measure.sh [BUILD_DIR]     (default: build)
# Every run is bounded (about a minute in all) and uses 127.0.0.1 only.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
for f in tools/quilvane/quilvane tools/quilvane-sim/quilvane-sim src/libQUILVANE_SDK.so; do
    [ -e "$build/$f" ] || { echo "missing $build/$f: build quilvane and quilvane-sim first" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; wait 2>/dev/null || true; rm -rf "$work"' EXIT

QUILVANE=$build/tools/quilvane/quilvane SIM=$build/tools/quilvane-sim/quilvane-sim \
    LIB=$build/src/libQUILVANE_SDK.so PYTHONPATH=$root/python WORK=$work /usr/bin/python3 - <<'EOF'
import ctypes, os, re, signal, socket, statistics, subprocess, sys, time
from quilvane_can.library import CanFrame, OpenParams, QUILVANE_TCP_CLIENT

QUILVANE, SIM, LIB, WORK = (os.environ[k] for k in ("QUILVANE", "SIM", "LIB", "WORK"))
# The library writes its progress lines to standard output: they go to a file.
out = os.fdopen(os.dup(1), "w", buffering=1)
os.dup2(os.open(f"{WORK}/library.log", os.O_WRONLY | os.O_CREAT, 0o644), 1)


def say(text):
    out.write(text + "\n")


def sim(*args):
    """A simulator; returns the process and the port of its ready line."""
    p = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, stderr=open(f"{WORK}/sim.err", "w"), text=True)
    ready = p.stdout.readline().split()
    return p, int(ready[2].rsplit(":", 1)[1]) if ready and ":" in ready[2] else 0


def serve(device_url):
    err = open(f"{WORK}/serve.err", "w+")
    p = subprocess.Popen([QUILVANE, "serve", "--socketcand", "127.0.0.1:0", device_url],
                         stdout=subprocess.DEVNULL, stderr=err, text=True)
    end = time.monotonic() + 20
    while time.monotonic() < end:
        m = re.search(r"socketcand server on 127\.0\.0\.1:(\d+)", open(err.name).read())
        if m:
            return p, int(m.group(1))
        time.sleep(0.05)
    raise SystemExit("serve did not start: " + open(err.name).read())


def stop(p):
    p.send_signal(signal.SIGINT)
    p.wait(timeout=20)


def client(port, bus="can0"):
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    reader = Messages(s)
    assert reader.next() == "< hi >"
    s.sendall(f"< open {bus} >".encode())
    assert reader.next() == "< ok >"
    return s, reader


class Messages:
    def __init__(self, s):
        self.s, self.buffer = s, b""

    def next(self):
        while b">" not in self.buffer:
            chunk = self.s.recv(65536)
            if not chunk:
                return ""
            self.buffer += chunk
        end = self.buffer.index(b">") + 1
        message, self.buffer = self.buffer[:end].strip(), self.buffer[end:]
        return message.decode()


def describe(samples_us):
    s = sorted(samples_us)
    return (f"median {statistics.median(s):.0f} us, p99 {s[int(len(s) * 0.99) - 1]:.0f} us, "
            f"min {s[0]:.0f} us, max {s[-1]:.0f} us")


ROUND_TRIPS = 1000

# 1. Round trip: the library directly.
echo, port = sim("--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "60")
lib = ctypes.CDLL(LIB)
params = OpenParams(type=QUILVANE_TCP_CLIENT, remoteIp=b"127.0.0.1", remotePort=port)
handle = lib.QUILVANE_Open(ctypes.byref(params))
frame, got = CanFrame(id=0x123, dataLength=1), (CanFrame * 16)()
direct = []
for i in range(ROUND_TRIPS + 50):
    frame.data[0] = i & 0xFF
    start = time.perf_counter()
    lib.QUILVANE_Send_CAN(handle, ctypes.byref(frame))
    while lib.QUILVANE_Recv_CAN(handle, 0, got, 16) <= 0:
        pass
    if i >= 50:  # the first ones warm up
        direct.append((time.perf_counter() - start) * 1e6)
lib.QUILVANE_Close(handle)
stop(echo)

# Through the bridge, one socketcand client in BCM mode subscribed to the echo.
echo, port = sim("--tcp-listen", "127.0.0.1:0", "--echo", "--duration", "60")
bridge, port = serve(f"tcp://127.0.0.1:{port}")
s, reader = client(port)
s.sendall(b"< subscribe 0 0 123 >")
bridged = []
for i in range(ROUND_TRIPS + 50):
    start = time.perf_counter()
    s.sendall(f"< send 123 1 {i & 0xFF:02X} >".encode())
    assert reader.next().startswith("< frame 123 ")
    if i >= 50:
        bridged.append((time.perf_counter() - start) * 1e6)
s.close()
stop(bridge)
stop(echo)
say(f"round trip, library directly:  {describe(direct)}  ({ROUND_TRIPS} frames)")
say(f"round trip, through the bridge: {describe(bridged)}")
say(f"extra through the bridge: {statistics.median(bridged) - statistics.median(direct):.0f} us (median)")

# 2. One RAW client at rising rates; half the simulator's frames carry flag
# 0x4 (CAN FD) and are not forwarded, so the client gets half the rate.
best = 0
for rate in (20000, 40000, 80000, 160000, 320000, 640000):
    count = rate * 2  # two seconds
    device_port = socket.socket()
    device_port.bind(("127.0.0.1", 0))
    device = device_port.getsockname()[1]
    device_port.close()
    bridge, port = serve(f"tcp-listen://:{device}")
    s, reader = client(port)
    s.sendall(b"< rawmode >")
    assert reader.next() == "< ok >"
    gen, _ = sim("--tcp-connect", f"127.0.0.1:{device}", "--generate", str(count), "--rate", str(rate),
                 "--duration", "20")
    received, start, s_buf = 0, time.monotonic(), b""
    s.settimeout(2)
    try:
        while received < count // 2:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            received += chunk.count(b"<")
    except socket.timeout:
        pass
    gen.wait(timeout=30)
    s.close()
    time.sleep(0.3)
    stop(bridge)
    drops = re.search(r"left: \d+ frames forwarded, (\d+) dropped", open(f"{WORK}/serve.err").read())
    dropped = int(drops.group(1)) if drops else -1
    say(f"RAW client at {rate // 2} classic frames/s ({rate} from the device): "
          f"{received} of {count // 2} received, {dropped} dropped")
    if dropped != 0 or received != count // 2:
        break
    best = rate // 2
say(f"most frames/s one RAW client received without a drop: {best} (the next step dropped or lost)")

# 3. A 10 ms cyclic job for 10 s, timed where the device receives it.
sink, port = sim("--tcp-listen", "127.0.0.1:0", "--verbose", "--duration", "16")
bridge, port = serve(f"tcp://127.0.0.1:{port}")
s, reader = client(port)
s.sendall(b"< add 0 10000 321 1 00 >")
time.sleep(10)
s.sendall(b"< delete 321 >")
time.sleep(0.2)
s.close()
stop(bridge)
stop(sink)
times = [int(a) * 1000000 + int(b) for a, b in re.findall(r"^\((\d+)\.(\d+)\) can0 321#", open(f"{WORK}/sim.err").read(), re.M)]
gaps = [b - a for a, b in zip(times, times[1:])]
late = re.search(r"(\d+) cyclic sends late", open(f"{WORK}/serve.err").read())
say(f"10 ms cyclic job, {len(times)} frames in {(times[-1] - times[0]) / 1e6:.3f} s: interval mean "
      f"{statistics.mean(gaps):.1f} us, standard deviation {statistics.pstdev(gaps):.1f} us, "
      f"min {min(gaps)} us, max {max(gaps)} us, "
      f"p99 of |interval - 10 ms| {sorted(abs(g - 10000) for g in gaps)[int(len(gaps) * 0.99) - 1]} us; "
      f"late cycles {late.group(1) if late else '?'}")
EOF
