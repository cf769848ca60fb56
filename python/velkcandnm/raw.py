"""The library's exports as they are, for code written against the C API.

Every ``DNM_`` function of ``VELKCANDNM.h`` is an attribute of this module with
the C signature (``ctypes`` argument and result types set), so C code ports
line by line. An integer argument that its C type cannot hold raises
``ValueError`` naming it (``board 256 is out of range (0..255)``), and one that
is no integer (a float, a bool) ``TypeError``, where ``ctypes`` alone would cut
it to the type's bits and call the library for another board or device. So
does a ``ctypes`` array too small for what the library reads or writes there
(``data holds 4 bytes, 5 needed``)::

    from velkcandnm import raw
    import ctypes
    raw.DNM_ActiveBoard(0)
    data = (ctypes.c_uint8 * 64)()
    length = ctypes.c_uint32()
    code = raw.DNM_ReadPollInputData(0, 0, 3, data, ctypes.byref(length))

The library is loaded at the first use of an export, from the first of these
places that holds it:

1. ``VELKCANDNM_LIBRARY``: the library file, or the directory that holds it
   (a build's ``lib/``, an install prefix's ``lib/``). When it is set, it is the
   only place tried.
2. The prefix's ``lib/`` when ``cmake --install`` put this package there.
3. ``lib/`` under Python's own prefix (``sys.prefix``).
4. The system's loader search (``LD_LIBRARY_PATH``, the ``ldconfig`` cache).

When none holds it, :class:`LibraryNotFound` says where it looked and why each
place failed. The library loads the card driver and the trace library from its
own directory. ``ctypes`` releases the GIL during every call, so a call that
waits on the bus does not hold up other Python threads.
"""

from __future__ import annotations

import ctypes
import os
import sys
import threading
from ctypes import POINTER, c_char_p, c_float, c_int32, c_uint8, c_uint16, c_uint32, c_uint64
from typing import Any, Callable, Optional

from . import _arguments

__all__ = ["DNM_PortStatistics", "DNM_SetupFailure", "LibraryNotFound", "load", "library_path"]

_WINDOWS = sys.platform == "win32"
LIBRARY_FILE = "VELKCANDNM.dll" if _WINDOWS else "libVELKCANDNM.so.1"
ENVIRONMENT_VARIABLE = "VELKCANDNM_LIBRARY"

_u8, _u16, _u32, _i32 = c_uint8, c_uint16, c_uint32, c_int32
_p8, _p16, _p32 = POINTER(c_uint8), POINTER(c_uint16), POINTER(c_uint32)

# The counter getters, in the order of the package's Counters fields.
COUNTER_EXPORTS = (
    "DNM_GetExplicitMsgNoResponse", "DNM_GetExplicitMsgErrorResponse",
    "DNM_GetBitStrobeNoResponse", "DNM_GetCOS_CyclicWithPollNoResponse",
    "DNM_GetCOS_CyclicWithPollErrorResponse", "DNM_GetCOS_CyclicWithPollFragmentError",
    "DNM_GetCOS_CyclicWithPollSendError", "DNM_GetCOS_CyclicWithoutPollSendError",
    "DNM_GetCOS_CyclicWithoutPollACKNoResponse", "DNM_GetPollSendError",
    "DNM_GetPollNoResponse", "DNM_GetPollErrorResponse", "DNM_GetPollFragmentError",
)


class DNM_SetupFailure(ctypes.Structure):
    """Why a connection last failed to stand, as ``DNM_GetSetupFailure`` writes it."""

    _fields_ = [("cause", _u16), ("request", _u16), ("device_size", _u16),
                ("configured_size", _u16), ("general_status", _u8), ("additional_status", _u8),
                ("missed_answers", _u16), ("age_ms", _u32)]


class DNM_PortStatistics(ctypes.Structure):
    """A port's traffic since it last went online, as ``DNM_GetPortStatistics`` writes it."""

    _fields_ = [("frames_received", c_uint64), ("frames_sent", c_uint64),
                ("bits_received", c_uint64), ("bits_sent", c_uint64),
                ("error_frames", _u32), ("overruns", _u32)]


# The C type of each argument by its name in VELKCANDNM.h; "*name" is a pointer.
_ARGUMENT_TYPES: dict[str, Any] = {
    **dict.fromkeys(("board", "port", "baud", "mac", "ucmm", "cls", "instance", "attribute",
                     "cos_cyclic_byte", "new_mac", "kind"), _u8),
    **dict.fromkeys(("code", "input_size", "output_size", "expected_packet_rate", "fourth",
                     "frequency", "vendor_id"), _u16),
    **dict.fromkeys(("watchdog_action", "length", "size", "capacity", "serial_number",
                     *(f"a{i}" for i in range(1, 8))), _u32),
    **dict.fromkeys(("*data", "*value", "*list", "*count", "*general_status",
                     "*additional_status"), _p8),
    "*vendor_ids": _p16, "*serial_numbers": _p32, "*length": _p32,
    "*failure": POINTER(DNM_SetupFailure),
    "*statistics": POINTER(DNM_PortStatistics),
    "board:int32_t": _i32,  # CAN_GetSystemFreq's, passed to the driver as it is
}
_BP, _BPM = "board port", "board port mac"
_IO_READ, _IO_WRITE = f"{_BPM} *data *length", f"{_BPM} *data length"

# (export, result type, argument names), in the order of VELKCANDNM.h.
_PROTOTYPES: list[tuple[str, Any, str]] = [
    ("DNM_GetVersion", c_float, ""),
    ("DNM_GetErrorText", c_char_p, "code"),
    ("DNM_TotalBoard", _i32, ""),
    ("DNM_GetBoardInf", _i32, "a1 a2 a3 a4 a5 a6 a7"),
    ("CAN_GetSystemFreq", _u32, "board:int32_t"),
    ("DNM_ActiveBoard", _u16, "board"),
    ("DNM_CloseBoard", _u16, "board"),
    ("DNM_Online", _u16, f"{_BP} baud mac"),
    ("DNM_Offline", _u16, _BP),
    ("DNM_ChangeMACID", _u16, f"{_BP} mac"),
    ("DNM_ChangeBaudrate", _u16, f"{_BP} baud"),
    ("DNM_GetPortStatistics", _u16, f"{_BP} *statistics"),
    ("DNM_AddDevice", _u16, f"{_BPM} ucmm"),
    ("DNM_RemoveDevice", _u16, _BPM),
    ("DNM_GetAllDeviceMACID", _u16, f"{_BP} *list *count"),
    ("DNM_ConfigExplicitMsg", _u16, f"{_BPM} watchdog_action"),
    ("DNM_CheckExplicitMsgConnectionStatus", _u16, _BPM),
    ("DNM_GetAttribute", _u16, f"{_BPM} cls instance attribute *data *length"),
    ("DNM_SetAttribute", _u16, f"{_BPM} cls instance attribute *value length"),
    ("DNM_GetAttributeEx", _u16, f"{_BPM} cls instance attribute *data size *length"),
    ("DNM_GetLastErrorResponse", _u16, f"{_BPM} *general_status *additional_status"),
    ("DNM_ConfigPoll", _u16, f"{_BPM} input_size output_size expected_packet_rate fourth"),
    ("DNM_ReadPollInputData", _u16, _IO_READ),
    ("DNM_WritePollOutputData", _u16, _IO_WRITE),
    ("DNM_CheckPollConnectionStatus", _u16, _BPM),
    ("DNM_ConfigBitStrobe", _u16, f"{_BPM} input_size expected_packet_rate fourth"),
    ("DNM_ReadBitStrobe", _u16, _IO_READ),
    ("DNM_CheckBitStrobeConnectionStatus", _u16, _BPM),
    *[(name, _u16, f"{_BPM} input_size output_size cos_cyclic_byte expected_packet_rate fourth")
      for name in ("DNM_ConfigCOS", "DNM_ConfigCyclic")],
    ("DNM_ReadCOSInputData", _u16, _IO_READ),
    ("DNM_ReadCyclicInputData", _u16, _IO_READ),
    ("DNM_WriteCOSOutputData", _u16, _IO_WRITE),
    ("DNM_WriteCyclicOutputData", _u16, _IO_WRITE),
    ("DNM_CheckCOSConnectionStatus", _u16, _BPM),
    ("DNM_CheckCyclicConnectionStatus", _u16, _BPM),
    *[(name, _u32, _BPM) for name in (*COUNTER_EXPORTS, "DNM_GetPollPeriodAchieved")],
    ("DNM_SetPollFrequency", _u32, "frequency"),
    ("DNM_SetBitStrobeFrequency", _u32, "frequency"),
    ("DNM_GetOwnership", _u16, _BP),
    ("DNM_CheckFaultNode", _u16, _BP),
    ("DNM_GetAllFaultNode", _u16, f"{_BP} *vendor_ids *serial_numbers capacity"),
    ("DNM_GetAllFaultNodeEx", _u16, f"{_BP} *vendor_ids *serial_numbers capacity *count"),
    ("DNM_ChangeFaultMACID", _u16, f"{_BP} vendor_id serial_number new_mac"),
    ("DNM_GetDeviceStatus", _u16, _BPM),
    ("DNM_StartCommunicate", _u16, _BP),
    ("DNM_StopCommunicate", _u16, _BP),
    ("DNM_StartDevice", _u16, _BPM),
    ("DNM_StopDevice", _u16, _BPM),
    ("DNM_GetSetupFailure", _u16, f"{_BPM} kind *failure"),
]

EXPORTS = frozenset(name for name, _, _ in _PROTOTYPES)
# Each export's arguments: (name, C type), "*" and the ":type" left out of the names.
ARGUMENTS = {name: tuple((spec.lstrip("*").split(":")[0], _ARGUMENT_TYPES[spec])
                         for spec in names.split())
             for name, _, names in _PROTOTYPES}
# The values each integer C type holds; ctypes would cut any other to its bits.
INTEGER_RANGES = {_u8: (0, 0xFF), _u16: (0, 0xFFFF), _u32: (0, 0xFFFF_FFFF),
                  _i32: (-0x8000_0000, 0x7FFF_FFFF)}

_LONGEST_VALUE, _MOST_NODES = 255, 64
_Room = Callable[[dict[str, Any]], int]
# The bytes that the library reads or writes at a buffer, by the other arguments
# (VELKCANDNM.h): a ctypes array given for it, or by reference, must hold them.
_WRITES_THE_LENGTH: list[tuple[str, _Room]] = [("data", lambda given: given["length"])]
_ROOM: dict[str, list[tuple[str, _Room]]] = {
    "DNM_GetAllDeviceMACID": [("list", lambda given: _MOST_NODES)],
    "DNM_GetAttribute": [("data", lambda given: 64)],
    "DNM_SetAttribute": [("value", lambda given: given["length"])],
    "DNM_GetAttributeEx": [("data", lambda given: min(given["size"], _LONGEST_VALUE))],
    **dict.fromkeys(("DNM_WritePollOutputData", "DNM_WriteCOSOutputData",
                     "DNM_WriteCyclicOutputData"), _WRITES_THE_LENGTH),
    "DNM_GetAllFaultNode": [("vendor_ids", lambda given: 2 * _MOST_NODES),
                            ("serial_numbers", lambda given: 4 * _MOST_NODES)],
    "DNM_GetAllFaultNodeEx": [("vendor_ids", lambda given: 2 * (given["capacity"] or _MOST_NODES)),
                              ("serial_numbers",
                               lambda given: 4 * (given["capacity"] or _MOST_NODES))],
}


class LibraryNotFound(OSError):
    """The library could not be loaded; the message names every place tried."""


_lock = threading.Lock()
_loaded: Optional[ctypes.CDLL] = None
_loaded_from = ""


def _candidates() -> list[str]:
    """The paths to try, in order (see the module's documentation)."""
    chosen = os.environ.get(ENVIRONMENT_VARIABLE)
    if chosen:
        return [os.path.join(chosen, LIBRARY_FILE) if os.path.isdir(chosen) else chosen]
    places = []
    try:
        from . import _installed  # type: ignore[attr-defined]  # written by cmake --install

        here = os.path.dirname(os.path.abspath(__file__))
        places.append(os.path.normpath(os.path.join(here, _installed.LIBRARY_DIR, LIBRARY_FILE)))
    except ImportError:
        pass
    places.append(os.path.join(sys.prefix, "lib", LIBRARY_FILE))
    places.append(LIBRARY_FILE)  # the loader's own search
    return places


def _open(path: str) -> ctypes.CDLL:
    if os.sep in path and not os.path.exists(path):
        raise OSError("no such file")
    loader: Callable[[str], ctypes.CDLL] = getattr(ctypes, "WinDLL" if _WINDOWS else "CDLL")
    return loader(path)


def _bind(library: ctypes.CDLL) -> None:
    for name, result, _ in _PROTOTYPES:
        function = getattr(library, name)
        function.restype = result
        function.argtypes = [kind for _, kind in ARGUMENTS[name]]


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Load the library once per process and return it, its exports bound.

    ``path`` (a file or directory) replaces the search; it is used only by the
    first load. Raises :class:`LibraryNotFound` when no place holds a loadable
    library with every export.
    """
    global _loaded, _loaded_from
    if _loaded is not None:
        return _loaded
    with _lock:
        if _loaded is not None:
            return _loaded
        if path is not None and os.path.isdir(path):
            path = os.path.join(path, LIBRARY_FILE)
        failures = []
        for candidate in [path] if path else _candidates():
            try:
                library = _open(candidate)
                _bind(library)
            except (OSError, AttributeError) as reason:
                failures.append(f"  {candidate}: {reason}")
                continue
            _loaded, _loaded_from = library, candidate
            return library
        raise LibraryNotFound(
            f"velkcandnm: cannot load {LIBRARY_FILE}; tried:\n" + "\n".join(failures) +
            f"\nSet {ENVIRONMENT_VARIABLE} to the library file or the directory that holds it "
            "(a build's lib/ or an install prefix's lib/).")


def library_path() -> str:
    """Where the library was loaded from (loading it if it is not yet)."""
    load()
    return _loaded_from


def _judge(export: str, arguments: tuple[Any, ...]) -> None:
    """Raise TypeError or ValueError, naming the argument, for an integer
    argument that its C type does not hold (a flag may be a bool), and for an
    array too small for what the library reads or writes there (a pointer's
    room is the caller's to know)."""
    for (name, kind), value in zip(ARGUMENTS[export], arguments):
        if kind in INTEGER_RANGES and not (name == "ucmm" and isinstance(value, bool)):
            _arguments.integer(name, value, *INTEGER_RANGES[kind])
    given = {name: value for (name, _), value in zip(ARGUMENTS[export], arguments)}
    for name, room in _ROOM.get(export, []) if len(given) == len(ARGUMENTS[export]) else []:
        buffer = getattr(given[name], "_obj", given[name])  # what ctypes.byref refers to
        if isinstance(buffer, ctypes.Array) and ctypes.sizeof(buffer) < room(given):
            raise ValueError(f"{name} holds {ctypes.sizeof(buffer)} bytes, "
                             f"{room(given)} needed")


def _c_prototype(export: str, result: Any) -> str:
    names = {c_float: "float", c_char_p: "const char*", _u8: "uint8_t", _u16: "uint16_t",
             _u32: "uint32_t", _i32: "int32_t", _p8: "uint8_t*", _p16: "uint16_t*",
             _p32: "uint32_t*", _ARGUMENT_TYPES["*failure"]: "DNM_SetupFailure*",
             _ARGUMENT_TYPES["*statistics"]: "DNM_PortStatistics*"}
    arguments = ", ".join(f"{names[kind]} {name}" for name, kind in ARGUMENTS[export]) or "void"
    return f"{names[result]} {export}({arguments})"


def _export(export: str, result: Any) -> Callable[..., Any]:
    def call(*arguments: Any) -> Any:
        _judge(export, arguments)
        return getattr(load(), export)(*arguments)

    call.__name__ = call.__qualname__ = export
    call.__doc__ = (f"{_c_prototype(export, result)}: integer arguments outside their C type "
                    "raise ValueError (TypeError for what is no integer) before the call.")
    return call


_CALLS = {name: _export(name, result) for name, result, _ in _PROTOTYPES}


def __getattr__(name: str) -> Callable[..., Any]:
    if name in _CALLS:
        return _CALLS[name]
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*__all__, *EXPORTS])
