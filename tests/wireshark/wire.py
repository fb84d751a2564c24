"""Traffic that the simulator does not make by itself, and the check of what
tshark prints against what was sent. Used by dissector_test.sh.

  wire.py tcp PORT        a hand-made TCP stream: two packets and a piece of a
                          third in one segment, the rest in the next
  wire.py discovery       search and probe requests to the responders
  wire.py check CAPTURE LUA
"""
import functools
import socket
import subprocess
import sys
import time


def xor(data):
    return functools.reduce(int.__xor__, data, 0)


def packet(ptype, frames):
    room = 8 if ptype == 0 else 64
    body = b"".join(ts.to_bytes(8, "big") + ident.to_bytes(4, "big") + flags.to_bytes(2, "big") +
                    bytes([channel, len(data)]) + data.ljust(room, b"\0") for ts, ident, flags, channel, data in frames)
    raw = bytes([0x55, ptype, 0, 0]) + len(body).to_bytes(2, "big") + body
    return raw + bytes([xor(raw)])


# (timestamp, id, flags, channel, data), in stream order, with the type of
# the packet they travel in.
HAND_MADE = [
    (1, [(0x0102030405060708, 0x1FFFFFFF, 0x0005, 3, bytes(range(64))),
         (1, 0xE0000123, 0x0002, 255, b"")]),
    (0, [(2, 0x7FF, 0, 1, b"\xaa\xbb\xcc")]),
    (1, [(3, 0x42, 0x0004, 0, bytes(range(100, 112)))]),
]


def send_tcp(port):
    p1, p2, p3 = (packet(t, frames) for t, frames in HAND_MADE)
    with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for piece in (p1 + p2 + p3[:10], p3[10:]):
            s.sendall(piece)
            time.sleep(0.2)


def sim_frames(count, record, per_packet, channels, data_length):
    """The simulator's --generate frames, in order."""
    out = []
    for s in range(count):
        classic = record == "classic" or (record == "mixed" and (s // per_packet) % 2 == 0)
        data = bytes((s + i) & 0xFF for i in range(min(data_length, 8) if classic else data_length))
        out.append((s, 0x100 + s % 0x100, s & 0xFFFF, channels[s % len(channels)], data))
    return out


DEVICE_ID = bytes.fromhex("0a0b0c0d0e0f")

# Requests for DEVICE_ID as the library sends them; the last with its XOR
# spoiled (CRC made good again).
VCI_REQUEST = bytes.fromhex("aa040a0b0c0d0e0faafe060001000200001041d7")
VCI_REQUEST_BAD_XOR = bytes.fromhex("aa040a0b0c0d0e0faafe0600010002000010be24")
PELIX_PROBE = bytes.fromhex("00080008282c3034383c865000080000ff649ed633")  # rotated left by 2


def send_discovery():
    sends = [  # (address, port, request, replies expected)
        ("127.0.0.1", 10550, bytes.fromhex("86540800 00ff649e d633"), 2),
        ("127.0.0.1", 10551, PELIX_PROBE, 1),
        ("127.0.0.1", 58121, VCI_REQUEST, 1),
        ("127.0.0.2", 58121, VCI_REQUEST, 1),  # this responder spoils its CRC
        ("127.0.0.1", 58121, VCI_REQUEST_BAD_XOR, 0),
    ]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        s.settimeout(3)
        for address, port, request, replies in sends:
            s.sendto(request, (address, port))
            for _ in range(replies):
                s.recvfrom(2048)


FIELDS = ["quilvane.timestamp", "quilvane.id", "quilvane.flags", "quilvane.channel",
          "quilvane.data_length", "quilvane.data"]
failures = []




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


def expect(what, got, wanted):
    if got != wanted:
        failures.append(f"{what}:\n  got    {got}\n  wanted {wanted}")


def check(capture, lua):
    def rows(display_filter, fields=FIELDS, options=()):
        cmd = ["tshark", "-r", capture, "-X", "lua_script:" + lua, "-Y", display_filter, "-T", "fields", *options]
        out = subprocess.run(cmd + [a for f in fields for a in ("-e", f)], capture_output=True, text=True, check=True)
        return [line.split("\t") for line in out.stdout.splitlines()]

    # 4002 is found through the port preference alone.
    ranged = ["-o", "quilvane.tcp_ports:4001-4002", "--disable-heuristic", "quilvane_tcp"]
    for direction in ("tcp.dstport == 4001", "tcp.srcport == 4001"):
        expect("TCP in pieces, " + direction, frames_of(rows(direction)), sim_frames(40, "mixed", 3, [0, 1, 2], 12))

    hand = rows("tcp.dstport == 4002 && quilvane", ["frame.number"] + FIELDS, ranged)
    expect("hand-made TCP stream", frames_of(r[1:] for r in hand), [f for _, frames in HAND_MADE for f in frames])
    expect("records per TCP segment", [len(r[1].split(",")) for r in hand], [3, 1])
    bits = rows("tcp.dstport == 4002 && quilvane", ["quilvane.flags.brs", "quilvane.flags.esi", "quilvane.flags.fdf"],
                ranged)
    per_flag = [",".join(column).split(",") for column in zip(*bits)]  # every record
    expect("flag bits BRS, ESI, FDF", [list(b) for b in zip(*per_flag)],
           [["1", "0", "1"], ["0", "1", "0"], ["0", "0", "0"], ["0", "0", "1"]])

    found = rows("tcp.port == 4777 && quilvane", FIELDS + ["quilvane.checksum.status", "_ws.expert.message"])
    expect("TCP found by content", frames_of(found), sim_frames(10, "fd", 1, [0], 64))
    expect("checksum status", ",".join(r[6] for r in found), ",".join(["1"] * 3 + ["0"] + ["1"] * 6))
    expect("bad checksum told", "Bad checksum" in "".join(r[7] for r in found), True)

    udp = sim_frames(12, "mixed", 2, [0], 8)
    for what, display_filter, frames in [("UDP, sent", "udp.dstport == 4001", udp),
                                         ("UDP, echoed", "udp.srcport == 4001", udp),
                                         ("UDP by content", "udp.port == 5001", sim_frames(5, "classic", 1, [0], 8))]:
        expect(what, frames_of(rows(display_filter)), frames)

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
    if sys.argv[1] == "tcp":
        send_tcp(int(sys.argv[2]))
    elif sys.argv[1] == "discovery":
        send_discovery()
    else:
        sys.exit(check(sys.argv[2], sys.argv[3]))
