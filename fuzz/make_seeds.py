#!/usr/bin/python3
"""Writes the seed corpora of the search, probe and TCP server fuzz targets
from what the device simulator really sends, on loopback only:
    /usr/bin/python3 fuzz/make_seeds.py build/tools/quilvane-sim/quilvane-sim
Seeds are written into fuzz/corpus/TARGET/ under fixed names, so a rerun
replaces them; inputs that fuzzing found stay."""
import pathlib
import socket
import subprocess
import sys

SIM = sys.argv[1]
CORPUS = pathlib.Path(__file__).resolve().parent / "corpus"
SEARCH_REQUEST = bytes([0x86, 0x54, 0x08, 0x00, 0x00, 0xFF, 0x64, 0x9E, 0xD6, 0x33])
DEVICE_ID = bytes.fromhex("001A2B3C4D5E")


def rotate_right(data):
    return bytes(((b >> 2) | (b << 6)) & 0xFF for b in data)


def start(*args):
    sim = subprocess.Popen([SIM, *args], stdout=subprocess.PIPE, text=True)
    ready = sim.stdout.readline().split()
    return sim, dict(word.split("=", 1) for word in ready[2:]) if ready[1] == "respond" else ready[2]


def ask(address, request):
    host, port = address.rsplit(":", 1)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.settimeout(2)
        s.sendto(request, (host, int(port)))
        return s.recv(4096)


def responder_replies(*options):
    sim, ports = start("--respond", "search-json,search-pelix,probe-vci,probe-pelix", "--bind", "127.0.0.1",
                       "--search-port", "0", "--pelix-port", "0", "--vci-port", "0", "--duration", "10", *options)
    try:
        pelix_probe = bytes([0x00, 0x02, 0x00, 0x02]) + DEVICE_ID + bytes([0xA1, 0x14, 0, 2, 0, 0, 0xFF, 0x19, 0xA7, 0xB5, 0xCC])
        pelix_probe = bytes(((b << 2) | (b >> 6)) & 0xFF for b in pelix_probe)
        vci_probe = bytearray([0xAA, 0x04]) + DEVICE_ID + bytes([0xAA, 0xFE, 6, 0, 1, 0, 2, 0, 0, 0x10])
        vci_probe.append(0)
        for b in vci_probe[8:18]:
            vci_probe[18] ^= b
        crc = 0
        for b in vci_probe:
            crc ^= b
            for _ in range(8):
                crc = ((crc << 1) ^ 0x07 if crc & 0x80 else crc << 1) & 0xFF
        vci_probe.append(crc ^ 0x55)
        return {kind: ask(ports[kind], request) for kind, request in
                (("search-json", SEARCH_REQUEST), ("search-pelix", SEARCH_REQUEST),
                 ("probe-pelix", pelix_probe), ("probe-vci", bytes(vci_probe)))}
    finally:
        sim.terminate()
        sim.wait()


def tcp_stream(*options):
    sim, address = start("--tcp-listen", "127.0.0.1:0", "--duration", "10", *options)
    host, port = address.rsplit(":", 1)
    data = b""
    with socket.create_connection((host, int(port)), timeout=5) as s:
        while chunk := s.recv(65536):
            data += chunk
    sim.wait()
    return data


def write(target, name, data):
    folder = CORPUS / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def interleave(streams, cuts, end_early=None):
    """The TCP server target's schedule: streams[i] goes to place i in chunks
    of the given sizes, taken in turn; a place in end_early ends its
    connection after its first chunk (mid-packet) and a new one sends the rest."""
    out = bytearray()
    offsets = [0] * len(streams)
    turn = 0
    while any(o < len(s) for o, s in zip(offsets, streams)):
        for place, stream in enumerate(streams):
            if offsets[place] >= len(stream):
                continue
            n = min(cuts[turn % len(cuts)], len(stream) - offsets[place], 256)
            turn += 1
            out += bytes([place, n - 1]) + stream[offsets[place]:offsets[place] + n]
            offsets[place] += n
            if end_early == place and offsets[place] == n:
                out.append((60 << 2) | place)
    return bytes(out)


def main():
    plain = responder_replies()
    write("search_reply_fuzz", "json_reply.bin", rotate_right(plain["search-json"]))
    write("search_reply_fuzz", "pelix_record.bin", rotate_right(plain["search-pelix"]))
    odd = responder_replies("--name", 'A "quoted"\\name\tthat is longer than its field', "--ipv4", "300.1..2.3.",
                            "--mac", "00:1A:2B:3C:4D:5E", "--serial", "")
    write("search_reply_fuzz", "json_odd_values.bin", rotate_right(odd["search-json"]))
    for fault in ("malformed-json", "oversized-json"):
        write("search_reply_fuzz", f"json_{fault}.bin", rotate_right(responder_replies("--reply-fault", fault)["search-json"]))
    write("search_reply_fuzz", "pelix_short.bin", rotate_right(responder_replies("--reply-fault", "short")["search-pelix"]))

    write("probe_reply_fuzz", "vci_reply.bin", b"\x00" + DEVICE_ID + plain["probe-vci"])
    write("probe_reply_fuzz", "pelix_reply.bin", b"\x01" + DEVICE_ID + plain["probe-pelix"])
    for fault in ("wrong-id", "bad-crc", "bad-xor", "short"):
        reply = responder_replies("--reply-fault", fault)["probe-vci"]
        write("probe_reply_fuzz", f"vci_{fault}.bin", b"\x00" + DEVICE_ID + reply)

    classic = tcp_stream("--generate", "12", "--channels", "0,1,2", "--record", "classic")
    mixed = tcp_stream("--generate", "10", "--channels", "3,250", "--record", "mixed", "--data-length", "64")
    packed = tcp_stream("--generate", "9", "--record", "fd", "--records-per-packet", "3", "--data-length", "12")
    write("search_reply_fuzz", "can_datagram.bin", rotate_right(mixed[:600]))
    write("tcp_server_streams_fuzz", "three_devices.bin", interleave([classic, mixed, packed], [7, 31, 1, 90, 200]))
    write("tcp_server_streams_fuzz", "ended_mid_packet.bin", interleave([mixed, classic], [13, 50, 3], end_early=0))
    write("tcp_server_streams_fuzz", "one_device_bytewise.bin", interleave([classic[:200]], [1]))


main()
