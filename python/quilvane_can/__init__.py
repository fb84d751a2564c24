"""python-can interface for CAN and CAN FD devices reached through the
QUILVANE_SDK library: ``can.Bus(interface="quilvane", channel="tcp://ADDRESS:PORT")``.

Importing this package does not load the library; the first bus or search
does, and it then stays loaded for the rest of the process.
"""

from .bus import DEFAULT_DEVICE_TCP_PORT, QuilvaneBus
from .connection_url import ConnectionUrl, ConnectionUrlError, parse_connection_url
from .library import LibraryNotFoundError, load_library

__version__ = "0.1.0"

__all__ = [
    "DEFAULT_DEVICE_TCP_PORT",
    "ConnectionUrl",
    "ConnectionUrlError",
    "LibraryNotFoundError",
    "QuilvaneBus",
    "load_library",
    "parse_connection_url",
]
