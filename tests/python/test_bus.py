"""QuilvaneBus end to end against the device simulator on loopback."""

import tempfile
import time
import unittest
from pathlib import Path

import can

from sim import start_sim


def fields(msg: can.Message):
    return (msg.arbitration_id, msg.is_extended_id, bytes(msg.data), msg.is_fd, msg.bitrate_switch,
            msg.error_state_indicator, msg.channel)


class Bus(unittest.TestCase):
    def bus(self, channel: str, **kwargs) -> can.BusABC:
        bus = can.Bus(interface="quilvane", channel=channel, **kwargs)
        self.addCleanup(bus.shutdown)
        return bus

    def test_echoes_logged_by_a_notifier_read_back_equal(self):
        bus = self.bus(f"tcp://{start_sim(self, '--tcp-listen', '127.0.0.1:0', '--echo')}", device_channel=[0, 1])
        # With the device channel each comes back on, as the candump writer
        # names it ("canN", which its reader keeps).
        sent = [
            (can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\x11\x22", channel=0), "can0"),
            (can.Message(arbitration_id=0x1ABCDE, data=bytes(range(8))), "can0"),  # the bus's first channel
            (can.Message(arbitration_id=0x7FF, is_extended_id=False, is_fd=True, bitrate_switch=True,
                         data=bytes(range(64)), channel=1), "can1"),
            (can.Message(arbitration_id=0x456, is_extended_id=False, is_fd=True, error_state_indicator=True,
                         data=b"\xAA" * 12, channel="can1"), "can1"),
            (can.Message(arbitration_id=0x80, is_extended_id=False, is_fd=True, channel=1), "can1"),
        ]
        path = Path(tempfile.mkdtemp()) / "echo.log"
        collected = can.BufferedReader()
        notifier = can.Notifier(bus, [can.Logger(path), collected], timeout=0.05)
        for msg, _ in sent:
            bus.send(msg)
        echoes = [collected.get_message(timeout=5) for _ in sent]
        notifier.stop()  # also stops the logger, which closes the file

        expected = sorted((*fields(msg)[:6], channel) for msg, channel in sent)
        self.assertEqual(sorted(fields(m) for m in can.LogReader(path)), expected)
        self.assertEqual(sorted((*fields(m)[:6], f"can{m.channel}") for m in echoes if m), expected)

    def test_unread_frames_do_not_reach_the_next_bus_on_that_handle(self):
        bus = self.bus(f"tcp://{start_sim(self, '--tcp-listen', '127.0.0.1:0', '--generate', '200', '--data-length', '12')}")
        first = bus.recv(timeout=5)  # id 0x100, flags 0: FD only by its length
        self.assertEqual(fields(first), (0x100, False, bytes(range(12)), True, False, False, 0))
        time.sleep(0.2)  # the rest arrive unread
        bus.shutdown()
        bus.shutdown()
        with self.assertRaises(can.CanOperationError):
            bus.send(can.Message(arbitration_id=1))

        quiet = self.bus(f"tcp://{start_sim(self, '--tcp-listen', '127.0.0.1:0')}")
        self.assertIn("(handle 0)", quiet.channel_info)
        self.assertIsNone(quiet.recv(timeout=0.05))
        self.assertIsNone(quiet.recv(timeout=0))

    def test_two_tcp_buses_and_a_udp_bus_at_once_and_refused_messages(self):
        first = self.bus(f"tcp://{start_sim(self, '--tcp-listen', '127.0.0.1:0', '--echo')}")  # holds handle 0
        second = self.bus(f"tcp://{start_sim(self, '--tcp-listen', '127.0.0.1:0', '--echo')}")
        first.send(can.Message(arbitration_id=1))
        second.send(can.Message(arbitration_id=2))
        self.assertEqual((first.recv(timeout=5).arbitration_id, second.recv(timeout=5).arbitration_id), (1, 2))
        for msg in (can.Message(arbitration_id=1, is_remote_frame=True), can.Message(arbitration_id=1, data=bytes(9)),
                    can.Message(arbitration_id=1, channel=256)):
            with self.assertRaises(can.CanOperationError):
                first.send(msg)
        # UDP frames are read under handle 0.
        udp = self.bus(f"udp://{start_sim(self, '--udp', '127.0.0.1:0', '--echo')}?local=127.0.0.1:0", device_channel=2)
        udp.send(can.Message(arbitration_id=0x321, is_fd=True, bitrate_switch=True, data=bytes(range(16))))
        self.assertEqual(fields(udp.recv(timeout=5)), (0x321, False, bytes(range(16)), True, True, False, 2))


if __name__ == "__main__":
    unittest.main()
