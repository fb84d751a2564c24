#!/usr/bin/python3
"""python-can's socketcand client against quilvane serve, for the cli tests.
    socketcand_peer.py receive PORT BUS COUNT    prints "ready", then the
        first COUNT frames (10 s at most) as candump log lines
    socketcand_peer.py send PORT BUS FRAME...     sends each ID#HEX frame"""
import sys
import time

import can


def main():
    command, port, channel = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    bus = can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel=channel)
    try:
        if command == "receive":
            print("ready", flush=True)
            count, end = int(sys.argv[4]), time.monotonic() + 10
            while count > 0 and time.monotonic() < end:
                m = bus.recv(0.5)
                if m is not None:
                    ident = f"{m.arbitration_id:08X}" if m.arbitration_id > 0x7FF else f"{m.arbitration_id:03X}"
                    print(f"({m.timestamp:.6f}) {channel} {ident}#{m.data.hex().upper()}", flush=True)
                    count -= 1
        else:
            for frame in sys.argv[4:]:
                ident, data = frame.split("#")
                bus.send(can.Message(arbitration_id=int(ident, 16), is_extended_id=len(ident) == 8,
                                     data=bytes.fromhex(data)))
            time.sleep(0.2)  # the server reads them before the connection ends
    finally:
        bus.shutdown()


main()
