"""Connection URLs of a QuilvaneBus channel:

    tcp://ADDRESS:PORT                      connect to the device's TCP server
    tcp-listen://[ADDRESS]:PORT             listen; devices connect to us
    udp://REMOTE:PORT[?local=[ADDRESS]:PORT] datagrams to the device

Addresses are dotted IPv4 texts, as the library takes them; host names are
not resolved.
"""

import ipaddress
from dataclasses import dataclass
from typing import Tuple
from urllib.parse import parse_qsl

from .library import QUILVANE_TCP_CLIENT, QUILVANE_TCP_SERVER, QUILVANE_UDP, OpenParams

SCHEMES = {"tcp": QUILVANE_TCP_CLIENT, "tcp-listen": QUILVANE_TCP_SERVER, "udp": QUILVANE_UDP}


class ConnectionUrlError(ValueError):
    """A channel text that is no connection URL."""


@dataclass(frozen=True)
class ConnectionUrl:
    type: int
    remote_ip: str = ""
    remote_port: int = 0
    local_ip: str = ""
    local_port: int = 0

    def open_params(self) -> OpenParams:
        return OpenParams(
            self.type, self.local_ip.encode(), self.local_port, self.remote_ip.encode(), self.remote_port
        )


def _address(text: str, url: str, may_be_empty: bool) -> str:
    if text == "" and may_be_empty:
        return ""
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        raise ConnectionUrlError(f"{url!r}: {text!r} is no dotted IPv4 address") from None


def _port(text: str, url: str, lowest: int) -> int:
    # ASCII digits, five at the most: what the quilvane tool reads too.
    if not (text.isascii() and text.isdigit() and len(text) <= 5) or not lowest <= int(text) <= 65535:
        raise ConnectionUrlError(f"{url!r}: the port must be a number from {lowest} to 65535, not {text!r}")
    return int(text)


def _endpoint(text: str, url: str, address_may_be_empty: bool, lowest_port: int) -> Tuple[str, int]:
    address, colon, port = text.rpartition(":")
    if not colon:
        raise ConnectionUrlError(f"{url!r}: {text!r} needs the form ADDRESS:PORT")
    return _address(address, url, address_may_be_empty), _port(port, url, lowest_port)


def parse_connection_url(url: str) -> ConnectionUrl:
    if not isinstance(url, str):
        raise ConnectionUrlError(f"the channel must be a connection URL text, not {url!r}")
    scheme, separator, rest = url.partition("://")
    if not separator or scheme not in SCHEMES:
        raise ConnectionUrlError(
            f"{url!r}: expected tcp://ADDRESS:PORT, tcp-listen://[ADDRESS]:PORT "
            "or udp://REMOTE:PORT[?local=[ADDRESS]:PORT]"
        )
    endpoint, question, query = rest.partition("?")
    if question and scheme != "udp":
        raise ConnectionUrlError(f"{url!r}: only udp:// URLs take options")
    if scheme == "tcp":
        address, port = _endpoint(endpoint, url, False, 1)
        return ConnectionUrl(QUILVANE_TCP_CLIENT, remote_ip=address, remote_port=port)
    if scheme == "tcp-listen":
        address, port = _endpoint(endpoint, url, True, 1)
        return ConnectionUrl(QUILVANE_TCP_SERVER, local_ip=address, local_port=port)
    address, port = _endpoint(endpoint, url, False, 1)
    local_ip, local_port = "", 0
    if question:
        try:
            options = dict(parse_qsl(query, keep_blank_values=True, strict_parsing=True))
        except ValueError:
            raise ConnectionUrlError(f"{url!r}: options must look like local=ADDRESS:PORT") from None
        unknown = set(options) - {"local"}
        if unknown:
            raise ConnectionUrlError(f"{url!r}: unknown option {sorted(unknown)[0]!r}; the only one is local")
        if "local" not in options:
            raise ConnectionUrlError(f"{url!r}: expected local=ADDRESS:PORT after the '?'")
        local = options["local"]
        if ":" not in local:
            local += ":0"  # an address alone: the system picks the port
        local_ip, local_port = _endpoint(local, url, True, 0)
    return ConnectionUrl(QUILVANE_UDP, remote_ip=address, remote_port=port, local_ip=local_ip, local_port=local_port)
