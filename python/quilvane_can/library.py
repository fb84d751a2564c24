"""ctypes bindings of the QUILVANE_SDK library: its records and its sixteen
exported functions, nothing else.

The library is loaded once per process and stays loaded. QUILVANE_Exit is
bound like every other export but nothing in this package calls it: it is
final for the process, so after it no connection could ever be opened again.
"""

import ctypes
import ctypes.util
import os
import struct
import sysconfig
import threading
from pathlib import Path
from typing import Callable, List, Mapping, Optional, Tuple

LIBRARY_ENVIRONMENT_VARIABLE = "QUILVANE_SDK_LIBRARY"
SDK_PATH_ENVIRONMENT_VARIABLE = "QUILVANE_SDK_PATH"

QUILVANE_TCP_CLIENT = 1
QUILVANE_TCP_SERVER = 2
QUILVANE_UDP = 3

QUILVANE_MAX_SEARCH_RESULTS = 256


class OpenParams(ctypes.Structure):
    """What QUILVANE_Open is given: dotted IPv4 texts, ports in host order."""

    _pack_ = 1
    _fields_ = [
        ("type", ctypes.c_uint32),
        ("localIp", ctypes.c_char * 16),
        ("localPort", ctypes.c_uint16),
        ("remoteIp", ctypes.c_char * 16),
        ("remotePort", ctypes.c_uint16),
    ]


class CanFrame(ctypes.Structure):
    """One CAN or CAN FD frame; dataLength is a byte count (0 to 64)."""

    _pack_ = 1
    _fields_ = [
        ("timestamp", ctypes.c_uint64),
        ("id", ctypes.c_uint32),
        ("flags", ctypes.c_uint16),
        ("channel", ctypes.c_uint8),
        ("dataLength", ctypes.c_uint8),
        ("data", ctypes.c_uint8 * 64),
    ]


class DeviceInfo(ctypes.Structure):
    """A device's answer to QUILVANE_Search."""

    _pack_ = 1
    _fields_ = [
        ("model", ctypes.c_char * 16),
        ("kernelVersion", ctypes.c_char * 8),
        ("softwareVersion", ctypes.c_char * 8),
        ("hardwareVersion", ctypes.c_char * 8),
        ("serialNumber", ctypes.c_char * 10),
        ("name", ctypes.c_char * 16),
        ("ipv4", ctypes.c_uint8 * 4),
        ("mac", ctypes.c_uint8 * 6),
    ]

    @property
    def address(self) -> str:
        """The device's IPv4 address as dotted text."""
        return ".".join(str(b) for b in self.ipv4)


class PelixDeviceRecord(ctypes.Structure):
    """A PELIX family device's 29-byte answer to QUILVANE_SearchPELIX."""

    _pack_ = 1
    _fields_ = [("bytes", ctypes.c_uint8 * 29)]


# The library reads these records byte for byte: a layout that differs from
# the C header would send garbage, so refuse to go on with one.
for _record, _size in ((OpenParams, 40), (CanFrame, 80), (DeviceInfo, 76), (PelixDeviceRecord, 29)):
    if ctypes.sizeof(_record) != _size:
        raise ImportError(f"{_record.__name__} is {ctypes.sizeof(_record)} bytes, the library expects {_size}")
if (OpenParams.remoteIp.offset, OpenParams.remotePort.offset, CanFrame.data.offset, DeviceInfo.ipv4.offset) != (
    22,
    38,
    16,
    66,
):
    raise ImportError("record field offsets differ from the library's")

_int = ctypes.c_int
_bytes = ctypes.POINTER(ctypes.c_uint8)

# name: (restype, argtypes)
_SIGNATURES = {
    "QUILVANE_Init": (None, []),
    "QUILVANE_Exit": (None, []),
    "QUILVANE_Search": (_int, [ctypes.POINTER(DeviceInfo)]),
    "QUILVANE_SearchPELIX": (_int, [ctypes.POINTER(PelixDeviceRecord)]),
    "QUILVANE_ProbePELIXDevice": (_int, [_bytes, _bytes, _int]),
    "QUILVANE_ProbeVCIDevice": (_int, [_bytes, _bytes, _int]),
    "QUILVANE_Open": (_int, [ctypes.POINTER(OpenParams)]),
    "QUILVANE_Close": (_int, [_int]),
    "QUILVANE_Recv": (_int, []),
    "QUILVANE_Send": (_int, []),
    "QUILVANE_Recv_CAN": (_int, [_int, _int, ctypes.POINTER(CanFrame), _int]),
    "QUILVANE_Send_CAN": (_int, [_int, ctypes.POINTER(CanFrame)]),
    "QUILVANE_TimerSend_CAN": (_int, []),
    "QUILVANE_Clear_Buffer": (None, [_int]),
    "QUILVANE_Clear_Send_Buffer": (None, [_int]),
    "QUILVANE_Get_Send_Queue_Size": (ctypes.c_uint32, [_int]),
}


class LibraryNotFoundError(OSError):
    """The QUILVANE_SDK library could not be loaded from any place tried."""


def _file_name() -> str:
    return "QUILVANE_SDK.dll" if os.name == "nt" else "libQUILVANE_SDK.so"


# (path, where it was looked for); the error names each place.
Candidate = Tuple[str, str]


def windows_candidates(package: Path, environ: Mapping[str, str], python_bits: int) -> List[Candidate]:
    """Where Windows looks, in order: beside the package (and in the bin
    folder of the unpacked SDK that holds it), QUILVANE_SDK_PATH (the DLL's
    folder or the SDK's), then every folder on PATH."""
    bin_folder = "x64" if python_bits == 64 else "x86"
    places = [(package, "beside the package"), (package.parent, "beside the package"),
              (package.parents[1] / "bin" / bin_folder, "beside the package")]
    sdk = environ.get(SDK_PATH_ENVIRONMENT_VARIABLE)
    if sdk:
        places += [(Path(sdk), SDK_PATH_ENVIRONMENT_VARIABLE),
                   (Path(sdk) / "bin" / bin_folder, SDK_PATH_ENVIRONMENT_VARIABLE)]
    places += [(Path(entry), "PATH") for entry in environ.get("PATH", "").split(os.pathsep) if entry]
    return [(str(directory / "QUILVANE_SDK.dll"), where) for directory, where in places]


def _posix_candidates() -> List[Candidate]:
    paths = []
    found = ctypes.util.find_library("QUILVANE_SDK")
    if found:
        paths.append((found, 'ctypes.util.find_library("QUILVANE_SDK")'))
    # Installed next to the package: <libdir>/python3/dist-packages/quilvane_can
    # puts the library three levels up, in <libdir>.
    here = Path(__file__).resolve().parent
    directories = [here.parents[2], here.parents[1], here.parent]
    multiarch = sysconfig.get_config_var("MULTIARCH")
    for prefix in ("/usr/local/lib", "/usr/lib"):
        directories.append(Path(prefix))
        if multiarch:
            directories.append(Path(prefix) / multiarch)
    for directory in directories:
        path = str(directory / _file_name())
        if path not in (p for p, _ in paths):
            paths.append((path, "the usual places"))
    return paths


def candidate_paths() -> List[Candidate]:
    """Where the library is looked for, in order.

    QUILVANE_SDK_LIBRARY, when set, is the only candidate: a path given on
    purpose must not be replaced silently by some other copy.
    """
    explicit = os.environ.get(LIBRARY_ENVIRONMENT_VARIABLE)
    if explicit:
        return [(explicit, LIBRARY_ENVIRONMENT_VARIABLE)]
    if os.name == "nt":
        return windows_candidates(Path(__file__).resolve().parent, os.environ, _python_bits())
    return _posix_candidates()


def _python_bits() -> int:
    return struct.calcsize("P") * 8


def dll_bits(path: str) -> Optional[int]:
    """32 or 64 for a Windows DLL of an x86 processor, else None."""
    try:
        with open(path, "rb") as file:
            header = file.read(4096)
    except OSError:
        return None
    if header[:2] != b"MZ" or len(header) < 64:
        return None
    offset = struct.unpack_from("<I", header, 60)[0]
    if offset + 6 > len(header) or header[offset:offset + 4] != b"PE\0\0":
        return None
    return {0x14C: 32, 0x8664: 64}.get(struct.unpack_from("<H", header, offset + 4)[0])


def _bind(cdll: ctypes.CDLL, path: str) -> ctypes.CDLL:
    for name, (restype, argtypes) in _SIGNATURES.items():
        try:
            function = getattr(cdll, name)
        except AttributeError:
            raise LibraryNotFoundError(f"{path} is no QUILVANE_SDK library: it does not export {name}") from None
        function.restype = restype
        function.argtypes = argtypes
    return cdll


_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def find_and_load(candidates: List[Candidate], load: Callable[[str], ctypes.CDLL], windows: bool,
                  python_bits: int) -> ctypes.CDLL:
    """The first candidate that loads; else an error naming every place and
    why it failed. On Windows a DLL of the other bitness is passed over and
    named as such: Windows' own message for it says only "not a valid Win32
    application"."""
    failures = []
    for path, where in candidates:
        if windows and where != LIBRARY_ENVIRONMENT_VARIABLE and not os.path.exists(path):
            failures.append(f"  {where}: {path}: not there")
            continue
        bits = dll_bits(path) if windows else None
        if bits is not None and bits != python_bits:
            failures.append(f"  {where}: {path}: a {bits}-bit DLL, and this Python is {python_bits}-bit")
            continue
        try:
            return _bind(load(path), path)
        except OSError as error:
            failures.append(f"  {where}: {error}" if path in str(error) else f"  {where}: {path}: {error}")
    if windows and not os.environ.get(SDK_PATH_ENVIRONMENT_VARIABLE):
        failures.append(f"  {SDK_PATH_ENVIRONMENT_VARIABLE}: not set")
    if not windows and not any(where.startswith("ctypes") for _, where in candidates) \
            and not os.environ.get(LIBRARY_ENVIRONMENT_VARIABLE):
        failures.insert(0, '  ctypes.util.find_library("QUILVANE_SDK"): found nothing')
    source = (f"{LIBRARY_ENVIRONMENT_VARIABLE} is set" if os.environ.get(LIBRARY_ENVIRONMENT_VARIABLE)
              else f"{LIBRARY_ENVIRONMENT_VARIABLE} is not set")
    raise LibraryNotFoundError(
        f"cannot load the QUILVANE_SDK library ({source}); tried:\n" + "\n".join(failures)
        + f"\nSet {LIBRARY_ENVIRONMENT_VARIABLE} to the path of {_file_name()}"
        + (f", or {SDK_PATH_ENVIRONMENT_VARIABLE} to its folder." if windows else "."))


def load_library() -> ctypes.CDLL:
    """The loaded library with every export's types set; loaded on first use."""
    global _library
    with _lock:
        if _library is None:
            _library = find_and_load(candidate_paths(), ctypes.CDLL, os.name == "nt", _python_bits())
        return _library


def search_devices() -> List[DeviceInfo]:
    """Broadcasts a search on every adapter and returns the replies (about 500 ms)."""
    records = (DeviceInfo * QUILVANE_MAX_SEARCH_RESULTS)()
    count = load_library().QUILVANE_Search(records)
    return [records[i] for i in range(max(0, min(count, QUILVANE_MAX_SEARCH_RESULTS)))]
