"""The python-can interface against the device simulator (QUILVANE_SIM) on
loopback; its searches only inside tests/discovery/isolated_network.sh, as
they broadcast. tests/install checks the package as cmake --install puts it."""

import os
import struct
import subprocess
import tempfile
import time
import unittest
from pathlib import Path
from unittest import mock

import can

import quilvane_can
from quilvane_can import library
from quilvane_can.connection_url import ConnectionUrl, parse_connection_url


def start_sim(test, *args):
    """Starts quilvane-sim, killed at the end of the test; the ADDR:PORT of its ready line."""
    process = subprocess.Popen([os.environ["QUILVANE_SIM"], "--duration", "30", *args], stdout=subprocess.PIPE, text=True)
    for cleanup in (process.wait, process.kill, process.stdout.close):
        test.addCleanup(cleanup)
    words = process.stdout.readline().split()  # "" once it exited without one
    test.assertEqual(words[:1], ["ready"], f"quilvane-sim {' '.join(args)} did not come up")
    return words[-1]


def fields(msg):
    return (msg.arbitration_id, msg.is_extended_id, bytes(msg.data), msg.is_fd, msg.bitrate_switch,
            msg.error_state_indicator, msg.channel)


class Bus(unittest.TestCase):
    def bus(self, *sim_args, channel="tcp://{}", **kwargs):
        bus = can.Bus(interface="quilvane", channel=channel.format(start_sim(self, *sim_args)), **kwargs)
        self.addCleanup(bus.shutdown)
        return bus

    def test_echoes_on_two_tcp_buses_and_a_udp_bus_at_once_and_refused_messages(self):
        first = self.bus("--tcp-listen", "127.0.0.1:0", "--echo", device_channel=[0, 1])  # holds handle 0
        sent = [  # with the device channel each comes back on
            (can.Message(arbitration_id=0x123, is_extended_id=False, data=b"\x11\x22", channel="can0"), 0),
            (can.Message(arbitration_id=0x1ABCDE, data=bytes(range(8))), 0),  # the bus's first channel
            (can.Message(arbitration_id=0x7FF, is_extended_id=False, is_fd=True, bitrate_switch=True,
                         data=bytes(range(64)), channel=1), 1),
            (can.Message(arbitration_id=0x456, is_extended_id=False, is_fd=True, error_state_indicator=True,
                         data=b"\xAA" * 12, channel="can1"), 1),
            (can.Message(arbitration_id=0x80, is_extended_id=False, is_fd=True, channel=1), 1),
        ]
        second = self.bus("--tcp-listen", "127.0.0.1:0", "--echo")
        for msg, _ in sent:
            first.send(msg)
        second.send(can.Message(arbitration_id=2))
        echoes = [first.recv(timeout=5) for _ in sent]
        self.assertEqual(sorted(fields(m) for m in echoes if m), sorted((*fields(m)[:6], c) for m, c in sent))
        self.assertEqual(second.recv(timeout=5).arbitration_id, 2)
        for msg in (can.Message(arbitration_id=1, is_remote_frame=True), can.Message(arbitration_id=1, data=bytes(9)),
                    can.Message(arbitration_id=1, channel=256)):
            with self.assertRaises(can.CanOperationError):
                first.send(msg)
        # UDP frames are read under handle 0.
        udp = self.bus("--udp", "127.0.0.1:0", "--echo", channel="udp://{}?local=127.0.0.1:0", device_channel=2)
        udp.send(can.Message(arbitration_id=0x321, is_fd=True, bitrate_switch=True, data=bytes(range(16))))
        self.assertEqual(fields(udp.recv(timeout=5)), (0x321, False, bytes(range(16)), True, True, False, 2))

    def test_unread_frames_do_not_reach_the_next_bus_on_that_handle(self):
        bus = self.bus("--tcp-listen", "127.0.0.1:0", "--generate", "200", "--data-length", "12")
        # id 0x100, flags 0: FD only by its length
        self.assertEqual(fields(bus.recv(timeout=5)), (0x100, False, bytes(range(12)), True, False, False, 0))
        time.sleep(0.2)  # the rest arrive unread
        bus.shutdown()
        bus.shutdown()
        with self.assertRaises(can.CanOperationError):
            bus.send(can.Message(arbitration_id=1))
        quiet = self.bus("--tcp-listen", "127.0.0.1:0")
        self.assertIn("(handle 0)", quiet.channel_info)
        self.assertIsNone(quiet.recv(timeout=0.05))
        self.assertIsNone(quiet.recv(timeout=0))


class Package(unittest.TestCase):
    def test_connection_urls_as_the_cpp_tool_reads_them(self):
        with open(Path(__file__).resolve().parents[1] / "connection_urls.tsv") as table:
            rows = [line.rstrip("\n").split("\t") for line in table if line.strip() and not line.startswith("#")]
        for kind, url, *row in ([None if f == "-" else f for f in r] for r in rows):
            with self.subTest(url=url):
                if kind == "accept":
                    type_, remote_ip, remote_port, local_ip, local_port = row
                    self.assertEqual(parse_connection_url(url), ConnectionUrl(
                        int(type_), remote_ip or "", int(remote_port), local_ip or "", int(local_port)))
                else:
                    with self.assertRaisesRegex(ValueError, row[1] or ""):
                        parse_connection_url(url)
        params = parse_connection_url("tcp-listen://127.0.0.1:5000").open_params()  # the bus tests use no tcp-listen
        self.assertEqual((params.type, params.localIp, params.localPort, params.remotePort), (2, b"127.0.0.1", 5000, 0))

    def test_version_follows_the_project(self):  # CMake checks the dist-info folder's name
        version = os.environ["QUILVANE_PROJECT_VERSION"]
        self.assertEqual(quilvane_can.__version__, version)
        metadata = Path(quilvane_can.__file__).parents[1] / f"quilvane_can-{version}.dist-info" / "METADATA"
        self.assertIn(f"\nVersion: {version}\n", metadata.read_text())

    def test_missing_library_error_names_what_was_tried(self):
        # As on a first load: the bus tests of this process have loaded it.
        with mock.patch.object(quilvane_can.library, "_library", None), \
                mock.patch.dict(os.environ, QUILVANE_SDK_LIBRARY="/nonexistent/lib.so"), self.assertRaisesRegex(
                can.CanInterfaceNotImplementedError,
                r"\(QUILVANE_SDK_LIBRARY is set\); tried:\n  QUILVANE_SDK_LIBRARY: /nonexistent/lib\.so"):
            can.Bus(interface="quilvane", channel="tcp://127.0.0.1:1")

    def test_windows_search_order_and_a_dll_of_the_other_bitness(self):
        # Windows' loader is stood in for: the order, and which file is taken.
        with tempfile.TemporaryDirectory() as root:
            package, on_path, later = Path(root, "sdk", "python", "quilvane_can"), Path(root, "a"), Path(root, "b")
            environ = {"QUILVANE_SDK_PATH": "/opt/sdk", "PATH": os.pathsep.join([str(on_path), "", str(later)])}
            candidates = library.windows_candidates(package, environ, 64)
            dll = "QUILVANE_SDK.dll"
            self.assertEqual(candidates, [
                (str(package / dll), "beside the package"), (str(package.parent / dll), "beside the package"),
                (str(Path(root, "sdk", "bin", "x64", dll)), "beside the package"),
                (f"/opt/sdk/{dll}", "QUILVANE_SDK_PATH"), (f"/opt/sdk/bin/x64/{dll}", "QUILVANE_SDK_PATH"),
                (str(on_path / dll), "PATH"), (str(later / dll), "PATH")])
            self.assertEqual(library.windows_candidates(package, {}, 32)[2][0], str(Path(root, "sdk", "bin", "x86", dll)))

            for folder, machine in ((on_path, 0x14C), (later, 0x8664)):  # a 32-bit DLL first, a 64-bit one later
                folder.mkdir()
                (folder / dll).write_bytes(b"MZ" + bytes(58) + struct.pack("<I", 64) + b"PE\0\0" + struct.pack("<H", machine))
            loaded = []
            stand_in = lambda path: loaded.append(path) or mock.MagicMock()
            library.find_and_load(candidates, stand_in, True, 64)
            self.assertEqual(loaded, [str(later / dll)])
            with mock.patch.dict(os.environ, {}, clear=True), self.assertRaises(library.LibraryNotFoundError) as error:
                library.find_and_load(candidates[:-1], stand_in, True, 64)
            message = str(error.exception)
            for path, where in candidates[:5]:
                self.assertIn(f"  {where}: {path}: not there", message)
            self.assertIn(f"  PATH: {on_path / dll}: a 32-bit DLL, and this Python is 64-bit", message)
            self.assertIn("QUILVANE_SDK_PATH: not set", message)


class DetectAvailableConfigs(unittest.TestCase):
    def test_on_the_isolated_network(self):
        network = os.environ.get("QUILVANE_NETWORK")
        if network not in ("two-adapters", "none"):
            self.skipTest("runs only inside isolated_network.sh")
        expected = []
        if network == "two-adapters":  # devices behind both adapters; a malformed reply is left out
            start_sim(self, "--respond", "search-json", "--device", "qa1", "--ipv4", "198.51.100.2", "--reply-count", "2")
            start_sim(self, "--respond", "search-json", "--device", "qb1", "--ipv4", "198.51.100.130")
            start_sim(self, "--respond", "search-json", "--device", "qb1", "--reply-fault", "malformed-json")
            expected = [{"interface": "quilvane", "channel": f"tcp://198.51.100.{n}:4001"} for n in (2, 130)]
        self.assertEqual(can.detect_available_configs("quilvane"), expected)


if __name__ == "__main__":
    unittest.main()
