"""For dissector_test.sh: the capture of the simulator's traffic and of what it
does not make by itself, then the check of what tshark shows against what was sent.

  wire.py capture QUILVANE_SIM CAPTURE   inside a private network namespace
  wire.py check CAPTURE LUA
"""
import functools
import os
import shlex
import signal
import socket
import subprocess
import sys
import time


def packet(ptype, frames):
    body = b"".join(ts.to_bytes(8, "big") + ident.to_bytes(4, "big") + flags.to_bytes(2, "big") +
                    bytes([channel, len(data)]) + data.ljust(64 if ptype else 8, b"\0")
                    for ts, ident, flags, channel, data in frames)
    raw = bytes([0x55, ptype, 0, 0]) + len(body).to_bytes(2, "big") + body
    return raw + bytes([functools.reduce(int.__xor__, raw, 0)])


# (packet type, [(timestamp, id, flags, channel, data)]), in stream order.
HAND_MADE = [
    (1, [(0x0102030405060708, 0x1FFFFFFF, 0x0005, 3, bytes(range(64))), (1, 0xE0000123, 0x0002, 255, b"")]),
    (0, [(2, 0x7FF, 0, 1, b"\xaa\xbb\xcc")]),
    (1, [(3, 0x42, 0x0004, 0, bytes(range(100, 112)))]),
]


def sim_frames(count, record, per_packet, channels, data_length):
    """The simulator's --generate frames, in order."""
    out = []
    for s in range(count):
        classic = record == "classic" or (record == "mixed" and (s // per_packet) % 2 == 0)
        data = bytes((s + i) & 0xFF for i in range(min(data_length, 8) if classic else data_length))
        out.append((s, 0x100 + s % 0x100, s & 0xFFFF, channels[s % len(channels)], data))
    return out


DEVICE_ID = bytes.fromhex("0a0b0c0d0e0f")
# (address, port, request as the library sends it for DEVICE_ID, replies expected)
DISCOVERY = [
    ("127.0.0.1", 10550, "8654080000ff649ed633", 2),
    ("127.0.0.1", 10551, "00080008282c3034383c865000080000ff649ed633", 1),  # rotated left by 2
    ("127.0.0.1", 58121, "aa040a0b0c0d0e0faafe060001000200001041d7", 1),
    ("127.0.0.2", 58121, "aa040a0b0c0d0e0faafe060001000200001041d7", 1),  # this responder spoils its CRC
    ("127.0.0.1", 58121, "aa040a0b0c0d0e0faafe0600010002000010be24", 0),  # XOR spoiled, CRC made good again
]


def capture(sim, path):
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    dumpcap = subprocess.Popen(["dumpcap", "-i", "lo", "-w", path, "-a", "duration:60"])
    started = []

    def start(args):  # a simulator in the background, once it is ready
        started.append(subprocess.Popen([sim, *shlex.split(args), "--duration", "10"], stdout=subprocess.PIPE, text=True))
        assert started[-1].stdout.readline().startswith("ready"), f"not ready: {args}"

    def run(args):
        subprocess.run([sim, *shlex.split(args), "--duration", "10"], stdout=subprocess.DEVNULL, check=True)

    try:
        # dumpcap says "Capturing on" before it captures: the first traffic could be
        # lost. A marker datagram (to a closed port) seen in the file means it is on.
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            for _ in range(100):
                s.sendto(b"capture-marker", ("127.0.0.1", 9))
                time.sleep(0.1)
                if os.path.exists(path) and b"capture-marker" in open(path, "rb").read():
                    break
            else:
                sys.exit("dumpcap captured nothing")
        # TCP, every packet written in pieces, echoed back.
        start("--tcp-listen 127.0.0.1:4002 --echo --record fd")
        run("--tcp-connect 127.0.0.1:4002 --generate 40 --record mixed --records-per-packet 3 --channels 0,1,2 "
            "--data-length 12 --fault cut --seed 7 --expect 40")
        # Several packets in one segment, one across two, and a spoiled checksum.
        start("--tcp-listen 127.0.0.1:4777")
        p1, p2, p3 = (packet(t, frames) for t, frames in HAND_MADE)
        p2 = p2[:-1] + bytes([p2[-1] ^ 1])
        with socket.create_connection(("127.0.0.1", 4777), timeout=5) as s:
            s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            for piece in (p1 + p2 + p3[:10], p3[10:]):
                s.sendall(piece)
                time.sleep(0.2)
        # UDP, echoed back.
        start("--udp 127.0.0.1:5001 --echo --expect 12")
        run("--udp 127.0.0.1:5002 --peer 127.0.0.1:5001 --generate 12 --record mixed --records-per-packet 2 --expect 12")
        # Search and probes; the second device spoils its VCI reply's CRC.
        start("--respond search-json,search-pelix,probe-pelix,probe-vci --bind 127.0.0.1 --device-id 0a0b0c0d0e0f "
              "--name 'Bench unit 7' --serial SN-0042 --mac 0.10.11.12.13.14")
        start("--respond probe-vci --bind 127.0.0.2 --device-id 0a0b0c0d0e0f --reply-fault bad-crc")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            s.bind(("127.0.0.1", 0))
            s.settimeout(3)
            for address, port, request, replies in DISCOVERY:
                s.sendto(bytes.fromhex(request), (address, port))
                for _ in range(replies):
                    s.recvfrom(2048)
        time.sleep(0.5)  # the last replies reach the capture
    finally:
        for process in started:
            process.kill()
        dumpcap.send_signal(signal.SIGINT)
        dumpcap.wait()


FIELDS = ["quilvane.timestamp", "quilvane.id", "quilvane.flags", "quilvane.channel", "quilvane.data_length",
          "quilvane.data"]


def frames_of(rows):
    """(timestamp, id, flags, channel, data) of every record, in order."""
    out = []
    for row in rows:
        ts, ids, flags, channels, lengths, data = (c.split(",") if c else [] for c in row[:6])
        data = iter(data)
        for i in range(len(ts)):
            d = bytes.fromhex(next(data).replace(" ", "")) if int(lengths[i]) else b""
            out.append((int(ts[i]), int(ids[i], 16), int(flags[i], 16), int(channels[i]), d))
    return out


def check(capture, lua):
    failures = []

    def expect(what, got, wanted):
        if got != wanted:
            failures.append(f"{what}:\n  got    {got}\n  wanted {wanted}")

    def rows(display_filter, fields=FIELDS, options=()):
        cmd = ["tshark", "-r", capture, "-X", "lua_script:" + lua, "-Y", display_filter, "-T", "fields", *options]
        out = subprocess.run(cmd + [a for f in fields for a in ("-e", f)], capture_output=True, text=True, check=True)
        return [line.split("\t") for line in out.stdout.splitlines()]

    # 4002 is found through the port preference alone, 4777 and 5001 by content.
    by_port = ["-o", "quilvane.tcp_ports:4002", "--disable-heuristic", "quilvane_tcp"]
    tcp, udp = sim_frames(40, "mixed", 3, [0, 1, 2], 12), sim_frames(12, "mixed", 2, [0], 8)
    for what, display_filter, frames, options in [("TCP in pieces, sent", "tcp.dstport == 4002", tcp, by_port),
                                                  ("TCP in pieces, echoed", "tcp.srcport == 4002", tcp, by_port),
                                                  ("UDP, sent", "udp.dstport == 5001", udp, ()),
                                                  ("UDP, echoed", "udp.srcport == 5001", udp, ())]:
        expect(what, frames_of(rows(display_filter, FIELDS, options)), frames)

    hand = rows("tcp.dstport == 4777 && quilvane", FIELDS + ["quilvane.flags.brs", "quilvane.flags.esi",
                "quilvane.flags.fdf", "quilvane.checksum.status", "_ws.expert.message"])
    expect("hand-made TCP stream", frames_of(hand), [f for _, frames in HAND_MADE for f in frames])
    per_flag = [",".join(column).split(",") for column in list(zip(*hand))[6:9]]  # every record
    expect("flag bits BRS, ESI, FDF", [list(b) for b in zip(*per_flag)],
           [["1", "0", "1"], ["0", "1", "0"], ["0", "0", "0"], ["0", "0", "1"]])
    expect("checksum status", ",".join(r[9] for r in hand), "1,0,1")
    expect("bad checksum told", "Bad checksum" in "".join(r[10] for r in hand), True)

    found = rows("quilvane && udp.port in {10550, 10551, 58121}",
                 ["_ws.col.Info", "quilvane.device.name", "quilvane.device.serial", "quilvane.device.mac_bytes",
                  "quilvane.pelix.data", "quilvane.probe.device_id", "quilvane.vci.xor.status",
                  "quilvane.vci.crc.status", "quilvane.vci.accepted"])
    seen = {r[0].split(",")[0].split(":")[0].strip(): r[1:] for r in found}
    pelix_data = " ".join(f"{b:02x}" for b in DEVICE_ID + bytes(range(1, 20)))
    expect("search", "Search request" in seen, True)
    expect("JSON reply", seen.get("Search reply (JSON)", [])[:3], ["Bench unit 7", "SN-0042", "00:0a:0b:0c:0d:0e"])
    expect("PELIX reply", seen.get("Search reply (PELIX)", [""] * 4)[3], pelix_data)
    expect("PELIX probe", seen.get("PELIX probe request", [""] * 5)[4], ":".join(f"{b:02x}" for b in DEVICE_ID))
    expect("PELIX probe reply", seen.get("PELIX probe reply", [""] * 4)[3], pelix_data)
    expect("VCI xor, crc, accepted", [r[6:] for r in found if r[0].startswith("VCI")],
           [["1", "1", ""], ["1", "1", "1"], ["1", "1", ""], ["1", "0", "0"], ["0", "1", ""]])
    for f in failures:
        print("FAILED", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(capture(*sys.argv[2:]) if sys.argv[1] == "capture" else check(*sys.argv[2:]))
