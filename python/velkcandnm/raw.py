"""The library's exports as they are, for code written against the C API.

Every ``DNM_`` function of ``VELKCANDNM.h`` is an attribute of this module with
the C signature (``ctypes`` argument and result types set), so C code ports
line by line::

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
from ctypes import POINTER, c_char_p, c_float, c_int32, c_uint8, c_uint16, c_uint32
from typing import Any, Callable, Optional

__all__ = ["DNM_SetupFailure", "LibraryNotFound", "load", "library_path"]

_WINDOWS = sys.platform == "win32"
LIBRARY_FILE = "VELKCANDNM.dll" if _WINDOWS else "libVELKCANDNM.so.1"
ENVIRONMENT_VARIABLE = "VELKCANDNM_LIBRARY"

_u8, _u16, _u32, _i32 = c_uint8, c_uint16, c_uint32, c_int32
_p8, _p16, _p32 = POINTER(c_uint8), POINTER(c_uint16), POINTER(c_uint32)
_BPM = (_u8, _u8, _u8)  # board, port, MAC ID

# The counter getters, in the order of the package's Counters fields.
COUNTER_EXPORTS = (
    "DNM_GetExplicitMsgNoResponse", "DNM_GetExplicitMsgErrorResponse",
    "DNM_GetBitStrobeNoResponse", "DNM_GetCOS_CyclicWithPollNoResponse",
    "DNM_GetCOS_CyclicWithPollErrorResponse", "DNM_GetCOS_CyclicWithPollFragmentError",
    "DNM_GetCOS_CyclicWithPollSendError", "DNM_GetCOS_CyclicWithoutPollSendError",
    "DNM_GetCOS_CyclicWithoutPollACKNoResponse", "DNM_GetPollSendError",
    "DNM_GetPollNoResponse", "DNM_GetPollErrorResponse", "DNM_GetPollFragmentError",
)
_BP = (_u8, _u8)


class DNM_SetupFailure(ctypes.Structure):
    """Why a connection last failed to stand, as ``DNM_GetSetupFailure`` writes it."""

    _fields_ = [("cause", _u16), ("request", _u16), ("device_size", _u16),
                ("configured_size", _u16), ("general_status", _u8), ("additional_status", _u8),
                ("missed_answers", _u16), ("age_ms", _u32)]


# (export, result type, argument types), in the order of VELKCANDNM.h.
_PROTOTYPES: list[tuple[str, Any, tuple[Any, ...]]] = [
    ("DNM_GetVersion", c_float, ()),
    ("DNM_GetErrorText", c_char_p, (_u16,)),
    ("DNM_TotalBoard", _i32, ()),
    ("DNM_GetBoardInf", _i32, (_u32,) * 7),
    ("CAN_GetSystemFreq", _u32, (_i32,)),
    ("DNM_ActiveBoard", _u16, (_u8,)),
    ("DNM_CloseBoard", _u16, (_u8,)),
    ("DNM_Online", _u16, (_u8, _u8, _u8, _u8)),
    ("DNM_Offline", _u16, _BP),
    ("DNM_ChangeMACID", _u16, (*_BP, _u8)),
    ("DNM_ChangeBaudrate", _u16, (*_BP, _u8)),
    ("DNM_AddDevice", _u16, (*_BPM, _u8)),
    ("DNM_RemoveDevice", _u16, _BPM),
    ("DNM_GetAllDeviceMACID", _u16, (*_BP, _p8, _p8)),
    ("DNM_ConfigExplicitMsg", _u16, (*_BPM, _u32)),
    ("DNM_CheckExplicitMsgConnectionStatus", _u16, _BPM),
    ("DNM_GetAttribute", _u16, (*_BPM, _u8, _u8, _u8, _p8, _p32)),
    ("DNM_SetAttribute", _u16, (*_BPM, _u8, _u8, _u8, _p8, _u32)),
    ("DNM_GetAttributeEx", _u16, (*_BPM, _u8, _u8, _u8, _p8, _u32, _p32)),
    ("DNM_GetLastErrorResponse", _u16, (*_BPM, _p8, _p8)),
    ("DNM_ConfigPoll", _u16, (*_BPM, _u16, _u16, _u16, _u16)),
    ("DNM_ReadPollInputData", _u16, (*_BPM, _p8, _p32)),
    ("DNM_WritePollOutputData", _u16, (*_BPM, _p8, _u32)),
    ("DNM_CheckPollConnectionStatus", _u16, _BPM),
    ("DNM_ConfigBitStrobe", _u16, (*_BPM, _u16, _u16, _u16)),
    ("DNM_ReadBitStrobe", _u16, (*_BPM, _p8, _p32)),
    ("DNM_CheckBitStrobeConnectionStatus", _u16, _BPM),
    ("DNM_ConfigCOS", _u16, (*_BPM, _u16, _u16, _u8, _u16, _u16)),
    ("DNM_ConfigCyclic", _u16, (*_BPM, _u16, _u16, _u8, _u16, _u16)),
    ("DNM_ReadCOSInputData", _u16, (*_BPM, _p8, _p32)),
    ("DNM_ReadCyclicInputData", _u16, (*_BPM, _p8, _p32)),
    ("DNM_WriteCOSOutputData", _u16, (*_BPM, _p8, _u32)),
    ("DNM_WriteCyclicOutputData", _u16, (*_BPM, _p8, _u32)),
    ("DNM_CheckCOSConnectionStatus", _u16, _BPM),
    ("DNM_CheckCyclicConnectionStatus", _u16, _BPM),
    *[(name, _u32, _BPM) for name in (*COUNTER_EXPORTS, "DNM_GetPollPeriodAchieved")],
    ("DNM_SetPollFrequency", _u32, (_u16,)),
    ("DNM_SetBitStrobeFrequency", _u32, (_u16,)),
    ("DNM_GetOwnership", _u16, _BP),
    ("DNM_CheckFaultNode", _u16, _BP),
    ("DNM_GetAllFaultNode", _u16, (*_BP, _p16, _p32, _u32)),
    ("DNM_GetAllFaultNodeEx", _u16, (*_BP, _p16, _p32, _u32, _p8)),
    ("DNM_ChangeFaultMACID", _u16, (*_BP, _u16, _u32, _u8)),
    ("DNM_GetDeviceStatus", _u16, _BPM),
    ("DNM_StartCommunicate", _u16, _BP),
    ("DNM_StopCommunicate", _u16, _BP),
    ("DNM_StartDevice", _u16, _BPM),
    ("DNM_StopDevice", _u16, _BPM),
    ("DNM_GetSetupFailure", _u16, (*_BPM, _u8, POINTER(DNM_SetupFailure))),
]

EXPORTS = frozenset(name for name, _, _ in _PROTOTYPES)


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
    for name, result, arguments in _PROTOTYPES:
        function = getattr(library, name)
        function.restype = result
        function.argtypes = arguments


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


def __getattr__(name: str) -> Callable[..., Any]:
    if name in EXPORTS:
        function: Callable[..., Any] = getattr(load(), name)
        return function
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*__all__, *EXPORTS])
