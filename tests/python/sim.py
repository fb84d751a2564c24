"""The device simulator (path in QUILVANE_SIM) as a child process that is
always killed at the end of the test."""

import os
import subprocess
import unittest


def start_sim(test: unittest.TestCase, *args: str) -> str:
    """Starts quilvane-sim and returns the ADDR:PORT of its ready line."""
    process = subprocess.Popen(
        [os.environ["QUILVANE_SIM"], "--duration", "30", *args], stdout=subprocess.PIPE, text=True
    )
    test.addCleanup(process.wait)
    test.addCleanup(process.kill)
    test.addCleanup(process.stdout.close)
    words = process.stdout.readline().split()  # "" once it exited without one
    test.assertEqual(words[:1], ["ready"], f"quilvane-sim {' '.join(args)} did not come up")
    return words[-1]
