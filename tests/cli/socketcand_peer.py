#!/usr/bin/python3
"""python-can's socketcand client against quilvane serve, for the cli tests.
    socketcand_peer.py receive PORT BUS COUNT    prints "ready", then the
        first COUNT frames (10 s at most) as candump log lines
    socketcand_peer.py send PORT BUS FRAME...     sends each ID#HEX frame"""
import sys
import time

import can

command, port, channel = sys.argv[1], int(sys.argv[2]), sys.argv[3]
with can.Bus(interface="socketcand", host="127.0.0.1", port=port, channel=channel) as bus:
    if command == "receive":
        print("ready", flush=True)
        count, end = int(sys.argv[4]), time.monotonic() + 10
        while count > 0 and time.monotonic() < end:
            if (m := bus.recv(0.5)) is not None:
                print(f"({m.timestamp:.6f}) {channel} {m.arbitration_id:0{8 if m.is_extended_id else 3}X}#"
                      f"{m.data.hex().upper()}", flush=True)
                count -= 1
    else:
        for ident, data in (frame.split("#") for frame in sys.argv[4:]):
            bus.send(can.Message(arbitration_id=int(ident, 16), is_extended_id=len(ident) == 8,
                                 data=bytes.fromhex(data)))
        time.sleep(0.2)  # the server reads them before the connection ends
