"""The DeviceNet master library (libVELKCANDNM) from Python.

A thin layer over the library's C API through ``ctypes``, with no dependency
beyond the standard library::

    import velkcandnm

    with velkcandnm.Board(0) as board:
        port = board.online(port=0, mac=0, baud=500_000)
        block = port.add_device(3)
        block.configure_poll(input_size=4, output_size=4)
        port.start()
        block.wait_connected()
        block.write_poll(b"\\x01\\x02\\x03\\x04")
        print(block.read_poll())

Every failed call raises :class:`DnmError`. :mod:`velkcandnm.raw` has the C
exports themselves; its documentation says where the library is looked for.

Threads: as the C library. Any thread may make any call; the objects hold
only board, port and MAC ID numbers, and the library locks what it shares:
calls that change a port run one at a time per port, reads, writes, statuses
and attribute calls side by side. Calls release the GIL while they run.
"""

from __future__ import annotations

from . import raw
from ._arguments import integer
from .board import BAUD_CODES, Board, FaultedNode, Port
from .device import LONGEST_ATTRIBUTE, Counters, Device, SetupFailure, Status
from .errors import GENERAL_STATUS, DnmError, error_text, status_words
from .raw import LibraryNotFound

__all__ = [
    "BAUD_CODES", "Board", "Counters", "Device", "DnmError", "FaultedNode", "GENERAL_STATUS",
    "LONGEST_ATTRIBUTE", "LibraryNotFound", "Port", "SetupFailure", "Status", "board_count",
    "error_text", "raw", "set_bit_strobe_frequency", "set_poll_frequency", "status_words",
    "version",
]
__version__ = "1.1"
_FREQUENCIES = (0, 0xFFFF)  # in Hz


def version() -> float:
    """The library's version (``DNM_GetVersion``), 1.1 for this package."""
    return round(float(raw.DNM_GetVersion()), 3)


def board_count() -> int:
    """The number of boards the card driver reports (``DNM_TotalBoard``); 0 without a driver."""
    return int(raw.DNM_TotalBoard())


def set_poll_frequency(hz: int) -> int:
    """Set the pause between two polls of a device to 1000 / ``hz`` ms, for every port.

    Returns the frequency that period gives (0 for 0, which changes nothing).
    100 ms at load. See :attr:`Device.poll_period_achieved` for what the bus
    really gives.
    """
    return int(raw.DNM_SetPollFrequency(integer("hz", hz, *_FREQUENCIES)))


def set_bit_strobe_frequency(hz: int) -> int:
    """Set the pause between two bit-strobe commands of a port (500 ms at load), as
    :func:`set_poll_frequency`."""
    return int(raw.DNM_SetBitStrobeFrequency(integer("hz", hz, *_FREQUENCIES)))
