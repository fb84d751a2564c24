"""Available configs from a device search, on the private network that
isolated_network.sh sets up; skipped anywhere else, where a search would
broadcast on the machine's real adapters."""

import os
import unittest

import can

from sim import start_sim

NETWORK = os.environ.get("QUILVANE_NETWORK")


class DetectAvailableConfigs(unittest.TestCase):
    @unittest.skipUnless(NETWORK == "two-adapters", "runs only inside isolated_network.sh")
    def test_devices_behind_both_adapters_become_usable_configs(self):
        start_sim(self, "--respond", "search-json", "--device", "qa1", "--ipv4", "198.51.100.2", "--reply-count", "2")
        start_sim(self, "--respond", "search-json", "--device", "qb1", "--ipv4", "198.51.100.130")
        start_sim(self, "--respond", "search-json", "--device", "qb1", "--reply-fault", "malformed-json")
        configs = can.detect_available_configs("quilvane")
        self.assertEqual(configs, [
            {"interface": "quilvane", "channel": "tcp://198.51.100.2:4001"},
            {"interface": "quilvane", "channel": "tcp://198.51.100.130:4001"},
        ])

    @unittest.skipUnless(NETWORK == "none", "runs only inside isolated_network.sh")
    def test_no_adapter_no_configs(self):
        self.assertEqual(can.detect_available_configs("quilvane"), [])


if __name__ == "__main__":
    unittest.main()
