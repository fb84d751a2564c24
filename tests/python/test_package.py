"""Connection URLs, the version, and finding the library. (tests/install
checks the package as cmake --install puts it.)"""

import os
import unittest
from pathlib import Path
from unittest import mock

import can

import quilvane_can
from quilvane_can.connection_url import ConnectionUrl, parse_connection_url

SOURCE = Path(quilvane_can.__file__).resolve().parents[1]


def url_table():
    """The rows of tests/connection_urls.tsv, which the C++ tool's tests read too."""
    with open(Path(__file__).resolve().parents[1] / "connection_urls.tsv") as table:
        for line in table:
            if line.strip() and not line.startswith("#"):
                yield [None if field == "-" else field for field in line.rstrip("\n").split("\t")]


class ConnectionUrls(unittest.TestCase):
    def test_forms(self):  # the bus tests use tcp:// and udp:// against the simulator
        for kind, url, *fields in url_table():
            if kind == "accept":
                type_, remote_ip, remote_port, local_ip, local_port = fields
                with self.subTest(url=url):
                    self.assertEqual(parse_connection_url(url), ConnectionUrl(
                        int(type_), remote_ip or "", int(remote_port), local_ip or "", int(local_port)))
        params = parse_connection_url("tcp-listen://127.0.0.1:5000").open_params()
        self.assertEqual((params.type, params.localIp, params.localPort, params.remotePort), (2, b"127.0.0.1", 5000, 0))
        params = parse_connection_url("udp://192.0.2.7:9000?local=192.0.2.1:0").open_params()
        self.assertEqual((params.type, params.localIp, params.localPort, params.remoteIp, params.remotePort),
                         (3, b"192.0.2.1", 0, b"192.0.2.7", 9000))

    def test_errors_name_the_problem(self):
        for kind, url, *fields in url_table():
            if kind == "refuse":
                with self.subTest(url=url), self.assertRaisesRegex(ValueError, fields[1] or ""):
                    parse_connection_url(url)


class Installation(unittest.TestCase):
    def test_versions_agree(self):
        (dist_info,) = SOURCE.glob("quilvane_can-*.dist-info")
        self.assertEqual(dist_info.name, f"quilvane_can-{quilvane_can.__version__}.dist-info")
        self.assertIn(f"\nVersion: {quilvane_can.__version__}\n", (dist_info / "METADATA").read_text())
        self.assertEqual(quilvane_can.__version__, os.environ.get("QUILVANE_PROJECT_VERSION", quilvane_can.__version__))

    def test_missing_library_error_names_what_was_tried(self):
        with mock.patch.dict(os.environ, QUILVANE_SDK_LIBRARY="/nonexistent/lib.so"), self.assertRaisesRegex(
                can.CanInterfaceNotImplementedError, r"\(QUILVANE_SDK_LIBRARY is set\); tried:\n  /nonexistent/lib\.so"):
            can.Bus(interface="quilvane", channel="tcp://127.0.0.1:1")

if __name__ == "__main__":
    unittest.main()
