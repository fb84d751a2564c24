"""QuilvaneBus: a python-can bus over one QUILVANE_SDK connection."""

import collections
import contextlib
import ctypes
import itertools
import logging
import threading
import time
from typing import Any, Deque, Iterator, List, Optional, Sequence, Tuple, Union

import can
import can.typechecking

from . import library
from .connection_url import parse_connection_url

logger = logging.getLogger(__name__)

# Search replies do not say on which TCP port a device serves; the configs
# that a search yields assume this one.
DEFAULT_DEVICE_TCP_PORT = 4001

# Bits of CanFrame.flags, as Linux's CAN FD flags.
FLAG_BRS = 0x1
FLAG_ESI = 0x2
FLAG_FDF = 0x4

# Pause between polls of empty queues: before a channel's first frame the
# library answers at once, so polling without it would spin.
_POLL_PAUSE_S = 0.001
_FRAMES_PER_READ = 64

# A TCP client without a local address binds to no local port, so its local
# port only tells connection keys apart; a new one per bus lets several
# buses connect at once.
_tcp_client_keys = itertools.count(1)

# The library keeps a closed handle's unread frames and gives the number to
# the next connection, which would receive them. Buses open, and close and
# clear, under this lock, so no bus gets the number between the two.
_open_close_lock = threading.Lock()


class _Handle:
    """The open handle, guarded so that shutdown closes it only after calls
    already using it are done, and no call uses it afterwards (the library
    could hand the same number to the next connection)."""

    def __init__(self, handle: int):
        self._handle: Optional[int] = handle
        self._users = 0
        self._condition = threading.Condition()

    @contextlib.contextmanager
    def use(self) -> Iterator[int]:
        with self._condition:
            if self._handle is None:
                raise can.CanOperationError("the bus is shut down")
            handle = self._handle
            self._users += 1
        try:
            yield handle
        finally:
            with self._condition:
                self._users -= 1
                self._condition.notify_all()

    def take(self) -> Optional[int]:
        with self._condition:
            handle, self._handle = self._handle, None
            while self._users:
                self._condition.wait()
            return handle


def _channel_number(channel: Any) -> Optional[int]:
    """A message's channel as a device channel: an int, "N" or "canN"."""
    if isinstance(channel, int) and not isinstance(channel, bool):
        number = channel
    elif isinstance(channel, str) and channel.removeprefix("can").isdigit():
        number = int(channel.removeprefix("can"))
    else:
        return None
    if not 0 <= number <= 255:
        raise can.CanOperationError(f"device channel {number} is outside 0 to 255")
    return number


def frame_from_message(msg: can.Message, default_channel: int) -> library.CanFrame:
    if msg.is_remote_frame:
        raise can.CanOperationError("remote frames are not supported by QUILVANE devices")
    if msg.is_error_frame:
        raise can.CanOperationError("error frames cannot be sent")
    data = bytes(msg.data or b"")
    limit = 64 if msg.is_fd else 8
    if len(data) > limit:
        raise can.CanOperationError(f"{len(data)} data bytes do not fit a {'CAN FD' if msg.is_fd else 'classic'} frame")
    frame = library.CanFrame()
    frame.id = msg.arbitration_id
    flags = 0
    if msg.is_fd:
        flags = FLAG_FDF | (FLAG_BRS if msg.bitrate_switch else 0) | (FLAG_ESI if msg.error_state_indicator else 0)
    frame.flags = flags
    channel = _channel_number(msg.channel)
    frame.channel = default_channel if channel is None else channel
    frame.dataLength = len(data)
    ctypes.memmove(frame.data, data, len(data))
    return frame


def message_from_frame(frame: library.CanFrame, timestamp: float) -> can.Message:
    is_fd = bool(frame.flags & FLAG_FDF) or frame.dataLength > 8
    data = bytes(frame.data[: frame.dataLength])
    return can.Message(
        timestamp=timestamp,
        arbitration_id=frame.id,
        is_extended_id=frame.id > 0x7FF,
        is_fd=is_fd,
        bitrate_switch=is_fd and bool(frame.flags & FLAG_BRS),
        error_state_indicator=is_fd and bool(frame.flags & FLAG_ESI),
        dlc=len(data),
        data=data,
        channel=frame.channel,
        is_rx=True,
    )


class QuilvaneBus(can.BusABC):
    """A CAN bus over one QUILVANE_SDK connection.

    :param channel: a connection URL: ``tcp://ADDRESS:PORT``,
        ``tcp-listen://[ADDRESS]:PORT`` or ``udp://REMOTE:PORT[?local=[ADDRESS]:PORT]``.
    :param device_channel: the device channel (0 to 255), or a list of them,
        that the bus receives from. Sending uses the message's ``channel`` when
        it is an int (or ``"canN"``), else the first of these.

    Received messages carry the device channel number as ``channel`` and the
    host time of reading as ``timestamp``. UDP frames are read under handle 0,
    where the library files every UDP frame of the process.
    """

    def __init__(
        self,
        channel: str,
        device_channel: Union[int, Sequence[int]] = 0,
        can_filters: Optional[can.typechecking.CanFilters] = None,
        **kwargs: Any,
    ):
        url = parse_connection_url(channel)
        channels = [device_channel] if isinstance(device_channel, int) else list(device_channel)
        if not channels or not all(isinstance(c, int) and 0 <= c <= 255 for c in channels):
            raise ValueError(f"device_channel must be 0 to 255 or a list of such, not {device_channel!r}")
        super().__init__(channel=channel, can_filters=can_filters, **kwargs)
        try:
            self._library = library.load_library()
        except library.LibraryNotFoundError as error:
            raise can.CanInterfaceNotImplementedError(str(error)) from error

        params = url.open_params()
        with _open_close_lock:
            if url.type == library.QUILVANE_TCP_CLIENT:
                params.localPort = next(_tcp_client_keys) % 65536
            handle = self._library.QUILVANE_Open(ctypes.byref(params))
        if handle < 0:
            raise can.CanInitializationError(
                f"cannot open {channel}: the device refused or did not answer three attempts, "
                "or a connection with the same local address and port is open in this process",
                error_code=handle,
            )
        self._handle = _Handle(handle)
        self._read_handle = 0 if url.type == library.QUILVANE_UDP else handle
        self._device_channels: List[int] = channels
        self._received: Deque[library.CanFrame] = collections.deque()
        self._frames = (library.CanFrame * _FRAMES_PER_READ)()
        self._receive_lock = threading.Lock()
        self.channel_info = f"QUILVANE {channel} (handle {handle})"
        logger.debug("opened %s as handle %d", channel, handle)

    def send(self, msg: can.Message, timeout: Optional[float] = None) -> None:
        """Sends at once; the library does not queue, so ``timeout`` has no use."""
        frame = frame_from_message(msg, self._device_channels[0])
        with self._handle.use() as handle:
            if self._library.QUILVANE_Send_CAN(handle, ctypes.byref(frame)) < 0:
                raise can.CanOperationError(f"sending on handle {handle} failed")

    def _take(self) -> Optional[library.CanFrame]:
        """The next frame, polling every device channel when none is left over."""
        with self._receive_lock:
            if not self._received:
                with self._handle.use():
                    for device_channel in self._device_channels:
                        self._read(device_channel)
            return self._received.popleft() if self._received else None

    def _read(self, device_channel: int) -> None:
        count = self._library.QUILVANE_Recv_CAN(self._read_handle, device_channel, self._frames, _FRAMES_PER_READ)
        if count < 0:
            reason = ": UDP frames are read under handle 0, which is not open" if self._read_handle == 0 else ""
            raise can.CanOperationError(f"reading handle {self._read_handle} failed{reason}")
        for i in range(count):
            self._received.append(library.CanFrame.from_buffer_copy(self._frames[i]))

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[can.Message], bool]:
        deadline = None if timeout is None else time.monotonic() + timeout
        while True:
            frame = self._take()
            if frame is not None:
                return message_from_frame(frame, time.time()), False
            pause = _POLL_PAUSE_S
            if deadline is not None:
                left = deadline - time.monotonic()
                if left <= 0:
                    return None, False
                pause = min(pause, left)
            time.sleep(pause)

    def _is_open(self, handle: int) -> bool:
        return self._library.QUILVANE_Recv_CAN(handle, 0, self._frames, 0) == 0

    def flush_tx_buffer(self) -> None:
        with self._handle.use() as handle:
            self._library.QUILVANE_Clear_Send_Buffer(handle)

    def shutdown(self) -> None:
        """Closes the connection; calling it again does nothing. The library
        itself stays loaded for the rest of the process."""
        handle = self._handle.take() if hasattr(self, "_handle") else None
        if handle is not None:
            with _open_close_lock:
                self._library.QUILVANE_Close(handle)
                # UDP frames sit under handle 0: leave them to the bus that has it.
                if self._read_handle == handle or not self._is_open(self._read_handle):
                    self._library.QUILVANE_Clear_Buffer(self._read_handle)
            logger.debug("closed handle %d", handle)
        if hasattr(self, "_periodic_tasks"):  # not when __init__ failed early
            super().shutdown()

    @staticmethod
    def _detect_available_configs() -> List[can.typechecking.AutoDetectedConfig]:
        """Devices that answer a search, each as a TCP client config on
        DEFAULT_DEVICE_TCP_PORT (the reply does not carry the port)."""
        try:
            devices = library.search_devices()
        except library.LibraryNotFoundError as error:
            logger.debug("no search: %s", error)
            return []
        channels = []
        for device in devices:
            if device.address == "0.0.0.0":  # a reply that did not parse, or carried no address
                continue
            channel = f"tcp://{device.address}:{DEFAULT_DEVICE_TCP_PORT}"
            if channel not in channels:  # one device seen through several adapters
                channels.append(channel)
        return [{"interface": "quilvane", "channel": channel} for channel in channels]
