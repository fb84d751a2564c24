"""Runs one test module of the python-can interface with unittest; fails
at once, saying why, when python-can is missing."""

import sys
import unittest

try:
    import can  # noqa: F401
except ImportError as error:
    sys.exit(f"python-can is not importable by {sys.executable} ({error}): apt-get install python3-can")

if __name__ == "__main__":
    unittest.main(module=sys.argv[1], argv=[sys.argv[0], "-v", *sys.argv[2:]])
