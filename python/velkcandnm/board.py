"""Boards and their ports: activation, going online, the scan list, faulted nodes."""

from __future__ import annotations

import ctypes
from dataclasses import dataclass
from types import TracebackType
from typing import Optional

from . import raw
from ._arguments import choice, flag, integer
from .device import MAC_IDS, Device
from .errors import DnmError, check

# Bit rates in bit/s and the library's baud codes.
BAUD_CODES = {500_000: 0, 250_000: 1, 125_000: 2}
_BOARD_ALREADY_CLOSE = 1301
_NO_FAULTED_NODE_ANSWERED = 3  # DNM_GetAllFaultNodeEx's result when none answered
_MOST_NODES = 64
BOARDS = (0, 0xFF)  # the C type's; the library refuses those the driver lacks (1300)
PORTS = (0, 3)


def _baud_code(baud: int) -> int:
    return BAUD_CODES[choice("baud", baud, BAUD_CODES)]


@dataclass(frozen=True)
class FaultedNode:
    """A node whose communication faulted, as it answers on the offline connection set."""

    vendor_id: int
    serial_number: int


class Board:
    """A CAN interface board, by its number (0 to :func:`board_count` - 1).

    ``with Board(0) as board:`` activates it (``DNM_ActiveBoard``) and closes
    it at the end (``DNM_CloseBoard``, which also stops every device: within
    about 4 s per port at worst, milliseconds on an idle board). Close every
    board before the process ends: the library's threads run until then.
    """

    def __init__(self, number: int = 0) -> None:
        self.number = integer("board number", number, *BOARDS)

    def __repr__(self) -> str:
        return f"<Board {self.number}>"

    def open(self) -> "Board":
        """Activate the board (``DNM_ActiveBoard``); as long as the driver takes."""
        check("DNM_ActiveBoard", raw.DNM_ActiveBoard(self.number))
        return self

    def close(self) -> None:
        """Close the board (``DNM_CloseBoard``): releases the started devices' connections
        (0.5 s per port at most), then takes every device and port apart."""
        check("DNM_CloseBoard", raw.DNM_CloseBoard(self.number))

    def __enter__(self) -> "Board":
        return self.open()

    def __exit__(self, kind: Optional[type[BaseException]], error: Optional[BaseException],
                 trace: Optional[TracebackType]) -> None:
        code = raw.DNM_CloseBoard(self.number)
        if code not in (0, _BOARD_ALREADY_CLOSE) and error is None:
            raise DnmError("DNM_CloseBoard", code)

    def online(self, port: int = 0, mac: int = 0, baud: int = 500_000) -> "Port":
        """Bring a port (0 to 3) onto the network as master with MAC ID ``mac`` (``DNM_Online``).

        ``baud`` in bit/s: 500_000, 250_000 or 125_000 (``ValueError`` for
        others). Takes about 2 s: two duplicate MAC ID checks of 1 s each;
        ``DNM_OnlineError`` (1204) when another node has the MAC ID.
        """
        online = Port(self, port)
        mac = integer("mac", mac, *MAC_IDS)
        check("DNM_Online", raw.DNM_Online(self.number, online.number, _baud_code(baud), mac))
        return online

    def port(self, number: int) -> "Port":
        """A port of this board, as it is: online already or not. Calls nothing."""
        return Port(self, number)


class Port:
    """A port of an active board. Holds only the board and port numbers, so
    threads may share it; the library runs calls that change the port one at
    a time."""

    def __init__(self, board: Board, number: int) -> None:
        self.board = board
        self.number = integer("port number", number, *PORTS)
        self._address = (board.number, self.number)

    def __repr__(self) -> str:
        return f"<Port {self.number} of board {self.board.number}>"

    def _call(self, export: str, *arguments: object) -> None:
        check(export, getattr(raw, export)(*self._address, *arguments))

    def offline(self) -> None:
        """Take the port off the network (``DNM_Offline``); its scan list stays. Brief."""
        self._call("DNM_Offline")

    def change_mac(self, mac: int) -> None:
        """Go offline and online again with the master's new MAC ID (``DNM_ChangeMACID``).

        About 2 s, plus up to 0.5 s for releasing the started devices first.
        """
        self._call("DNM_ChangeMACID", integer("mac", mac, *MAC_IDS))

    def change_baud(self, baud: int) -> None:
        """Go offline and online again at ``baud`` bit/s (``DNM_ChangeBaudrate``); as long as
        :meth:`change_mac`."""
        self._call("DNM_ChangeBaudrate", _baud_code(baud))

    def statistics(self) -> raw.DNM_PortStatistics:
        """The port's traffic since it last went online (``DNM_GetPortStatistics``): frames
        received and sent, the bits they took on the bus, error frames and receive overruns.
        Sends nothing."""
        statistics = raw.DNM_PortStatistics()
        self._call("DNM_GetPortStatistics", ctypes.byref(statistics))
        return statistics

    def add_device(self, mac: int, ucmm: bool = False) -> Device:
        """Add a slave to the scan list (``DNM_AddDevice``). Sends nothing.

        ``ucmm``: open its explicit connection through UCMM (group 3) instead
        of the predefined master/slave connection set.
        """
        device = Device(self, mac)
        self._call("DNM_AddDevice", device.mac, flag("ucmm", ucmm))
        return device

    def device(self, mac: int) -> Device:
        """A device of the scan list by its MAC ID. Calls nothing."""
        return Device(self, mac)

    def scan(self) -> list[int]:
        """The MAC IDs that answer a duplicate MAC ID check, rising (``DNM_GetAllDeviceMACID``).

        About 1 s; holds the port exclusively meanwhile.
        """
        macs = (ctypes.c_uint8 * _MOST_NODES)()
        count = ctypes.c_uint8()
        self._call("DNM_GetAllDeviceMACID", macs, ctypes.byref(count))
        return list(macs[:count.value])

    def start(self) -> None:
        """Start every device not yet started, in MAC ID order (``DNM_StartCommunicate``).

        Does not wait on the bus: the library sets the connections up
        afterwards (see :meth:`Device.wait_connected`).
        """
        self._call("DNM_StartCommunicate")

    def stop(self) -> None:
        """Stop every started device (``DNM_StopCommunicate``). Does not wait on the bus."""
        self._call("DNM_StopCommunicate")

    # Faulted nodes, through the offline connection set -------------------------

    def get_ownership(self) -> None:
        """Take ownership of the offline connection set (``DNM_GetOwnership``).

        About 2 s: asks twice, 1 s each. ``DNM_GetOwnershipError`` (4000) when
        another client objected. The calls below need it (4001 without).
        """
        self._call("DNM_GetOwnership")

    def faulted_node_count(self) -> int:
        """How many faulted nodes answer (``DNM_CheckFaultNode``), 0 to 64.

        Up to 1 s for the first answer and 50 ms after each further one.
        """
        code = raw.DNM_CheckFaultNode(*self._address)
        if code > _MOST_NODES:
            raise DnmError("DNM_CheckFaultNode", code)
        return int(code)

    def faulted_nodes(self) -> list[FaultedNode]:
        """The faulted nodes that answer (``DNM_GetAllFaultNodeEx``); [] when none does.

        Waits as :meth:`faulted_node_count`.
        """
        vendors = (ctypes.c_uint16 * _MOST_NODES)()
        serials = (ctypes.c_uint32 * _MOST_NODES)()
        count = ctypes.c_uint8()
        code = raw.DNM_GetAllFaultNodeEx(*self._address, vendors, serials, _MOST_NODES,
                                         ctypes.byref(count))
        if code == _NO_FAULTED_NODE_ANSWERED:
            return []
        check("DNM_GetAllFaultNodeEx", code)
        return [FaultedNode(vendors[i], serials[i]) for i in range(count.value)]

    def change_faulted_mac(self, node: FaultedNode, new_mac: int) -> None:
        """Give a faulted node a new MAC ID (``DNM_ChangeFaultMACID``).

        Returns once the request is sent; the node needs about 2 s to rejoin
        the network, then add it to the scan list.
        """
        self._call("DNM_ChangeFaultMACID", node.vendor_id, node.serial_number,
                   integer("new_mac", new_mac, *MAC_IDS))
