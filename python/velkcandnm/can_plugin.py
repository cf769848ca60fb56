"""python-can's interface ``velkcan``: a python-can bus on a shared virtual segment.

A network file's ``segment NAME shared=PATH``, hosted by ``dnm simulate
NETWORK``, is a bus for python-can too::

    import can

    with can.Bus(interface="velkcan", channel="/tmp/plant.sock") as bus:
        bus.send(can.Message(arbitration_id=0x42E, data=[0x4A, 0x4B, 3, 1, 1, 10],
                             is_extended_id=False))
        print(bus.recv(timeout=1.0))

python-can finds :class:`VelkcanBus` through the entry point ``velkcan`` of
the group ``can.interface`` in the package's metadata; only python-can
imports this module, the rest of the package needs no python-can. The bus
speaks the segment's wire protocol (docs/virtual-card.md, "Shared segments")
itself and needs neither the master library nor the card driver.
"""

from __future__ import annotations

import logging
import os
import queue
import socket
import struct
import threading
import time
from typing import Any, BinaryIO, Optional, Tuple

from can.bus import BusABC, BusState
from can.exceptions import CanInitializationError, CanOperationError
from can.message import Message
from can.typechecking import CanFilters

from ._arguments import choice, integer

__all__ = ["BIT_RATES", "VelkcanBus"]

BIT_RATES = (500_000, 250_000, 125_000)

# type, data length, flags, identifier, bit/s, tag, data, end of the frame in ns
_RECORD = struct.Struct("<BBBxIII8sQ")
_HELLO, _SEND, _CARRIED, _LOST = 1, 2, 3, 5
_HELLO_RECORD = _RECORD.pack(_HELLO, 0, 0, 0, 0, 1, b"VCANSEG1", 0)  # protocol version 1
_RTR, _OWN = 0x01, 0x02
_NODE = 1  # each bus attaches on its own, as the one node of its connection
_UNANSWERED = 64  # frames of a node the host queues without loss
_GREETING_SECONDS = 2.0
_BACKLOG = 100_000  # received frames kept for a reader that falls behind: 25 s of a full bus

_log = logging.getLogger(__name__)


class VelkcanBus(BusABC):
    """A node on a shared virtual segment, attached to the host's socket ``channel``.

    ``bitrate``: 500_000 (default), 250_000 or 125_000 bit/s. The node sends at
    that rate and receives only the frames carried at it, as a CAN controller
    does. ``receive_own_messages``: also receive the frames this bus sent,
    once carried (``is_rx`` false). Standard 11-bit frames only, data and
    remote; filters work as in every python-can bus. Time stamps are the
    frames' end on the host's bus, in :func:`time.time` seconds.

    ``send`` waits while 64 frames of this bus await the bus (up to
    ``timeout``, indefinitely when it is None). A thread of the bus reads the
    socket, so ``send`` and ``recv`` may be called from different threads.
    When the host ends, the frames received before are still returned; then
    ``recv`` and ``send`` raise :class:`CanOperationError` and
    :attr:`state` is ``ERROR``: a new bus attaches to a host that is back.
    """

    def __init__(self, channel: Any, can_filters: Optional[CanFilters] = None,
                 bitrate: int = 500_000, receive_own_messages: bool = False,
                 **kwargs: object) -> None:
        choice("velkcan: bitrate", bitrate, BIT_RATES)
        self.channel = _segment_path(os.fspath(channel))
        self.channel_info = f"velkcan shared segment {self.channel} at {bitrate // 1000} kbit/s"
        self._bitrate = bitrate
        self._receive_own = receive_own_messages
        self._socket, self._stream = _attach(self.channel)
        self._clock = time.time() - time.monotonic()  # the host's stamps are CLOCK_MONOTONIC
        self._room = threading.Semaphore(_UNANSWERED)
        self._received: queue.Queue[Optional[Message]] = queue.Queue(_BACKLOG)
        self._overflow = 0
        self._send_lock = threading.Lock()
        self._gone = threading.Event()
        self._shut = False
        self._reader = threading.Thread(target=self._read, name=f"velkcan {self.channel}",
                                        daemon=True)
        self._reader.start()
        super().__init__(channel, can_filters=can_filters, **kwargs)

    def send(self, msg: Message, timeout: Optional[float] = None) -> None:
        if msg.is_extended_id or msg.is_fd or msg.is_error_frame:
            raise ValueError("velkcan: a segment carries standard frames only "
                             "(11-bit identifiers, no CAN FD, no error frames)")
        integer("velkcan: arbitration_id", msg.arbitration_id, 0, 0x7FF)
        length = integer("velkcan: dlc", msg.dlc, 0, 8) if msg.is_remote_frame else len(msg.data)
        if length > 8:
            raise ValueError(f"velkcan: {length} data bytes, at most 8")
        if not self._room.acquire(timeout=timeout):
            raise CanOperationError(f"velkcan: {_UNANSWERED} frames still await the bus "
                                    f"after {timeout} s")
        if self._gone.is_set():
            self._room.release()
            raise CanOperationError(self._gone_words())
        data = b"" if msg.is_remote_frame else bytes(msg.data)
        record = _RECORD.pack(_SEND, length, _RTR if msg.is_remote_frame else 0,
                              msg.arbitration_id, self._bitrate, _NODE, data, 0)
        try:
            with self._send_lock:
                self._socket.sendall(record)
        except OSError as error:
            self._room.release()
            raise CanOperationError(f"{self._gone_words()}: {error}") from error

    def _recv_internal(self, timeout: Optional[float]) -> Tuple[Optional[Message], bool]:
        if self._gone.is_set() and self._received.empty():
            raise CanOperationError(self._gone_words())
        try:
            message = self._received.get(timeout=timeout)
        except queue.Empty:
            return None, False
        if message is None:  # the reader's last word
            raise CanOperationError(self._gone_words())
        return message, False  # BusABC.recv applies the filters

    def shutdown(self) -> None:
        """Detach from the host; the bus cannot be used afterwards. Calling it again does nothing."""
        super().shutdown()
        self._shut = True
        try:
            self._socket.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass  # already detached
        self._reader.join()
        self._stream.close()
        self._socket.close()

    @property
    def state(self) -> BusState:
        return BusState.ERROR if self._gone.is_set() else BusState.ACTIVE

    @state.setter
    def state(self, new_state: BusState) -> None:
        raise NotImplementedError("velkcan: a segment's node has no state to set")

    def _gone_words(self) -> str:
        if self._shut:
            return f"velkcan: the bus on {self.channel} is shut down"
        return f"velkcan: the host of shared segment {self.channel} is gone"

    def _read(self) -> None:
        try:
            while True:
                record = _read_record(self._stream)
                if record is None:
                    break
                self._take(*record)
        except (OSError, ValueError):
            pass  # the socket was closed: detached
        finally:
            self._gone.set()
            self._room.release(_UNANSWERED)  # wake the senders, to raise
            try:
                self._received.put_nowait(None)
            except queue.Full:
                pass  # recv sees the end once it has emptied the backlog

    def _take(self, kind: int, length: int, flags: int, identifier: int, bitrate: int, tag: int,
              data: bytes, end_ns: int) -> None:
        if kind == _LOST:
            _log.warning("velkcan: %s: the host dropped %d frames for this slow reader",
                         self.channel, tag)
            return
        if kind != _CARRIED:
            return
        own = bool(flags & _OWN)
        if own:
            self._room.release()
        if bitrate != self._bitrate or (own and not self._receive_own):
            return
        remote = bool(flags & _RTR)
        message = Message(timestamp=self._clock + end_ns / 1e9, arbitration_id=identifier,
                          is_extended_id=False, is_remote_frame=remote, dlc=length,
                          data=None if remote else data[:length], is_rx=not own,
                          channel=self.channel)
        try:
            self._received.put_nowait(message)
        except queue.Full:
            self._overflow += 1
            if self._overflow == 1:
                _log.warning("velkcan: %s: %d received frames unread; dropping the newer ones",
                             self.channel, _BACKLOG)


def _read_record(stream: BinaryIO) -> Optional[Tuple[Any, ...]]:
    """The next record from the host, None at its end."""
    data = stream.read(_RECORD.size)
    return _RECORD.unpack(data) if len(data) == _RECORD.size else None


def _segment_path(name: str) -> str:
    """Where ``shared=NAME`` lives: a name without a slash is in the user's private directory."""
    if "/" in name:
        return name
    runtime = os.environ.get("XDG_RUNTIME_DIR", "")
    private = f"{runtime}/velkcan" if runtime.startswith("/") else f"/tmp/velkcan-{os.geteuid()}"
    return f"{private}/{name}"


def _host_user(connection: socket.socket) -> int:
    """The user id of the process at the other end of the connected local socket."""
    _pid, uid, _gid = struct.unpack("3i", connection.getsockopt(
        socket.SOL_SOCKET, socket.SO_PEERCRED, struct.calcsize("3i")))
    return uid


def _attach(path: str) -> Tuple[socket.socket, BinaryIO]:
    """A connection to the host of the segment at ``path``, greeted, and its stream to read."""
    connection = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    stream = connection.makefile("rb")
    try:
        connection.settimeout(_GREETING_SECONDS)
        connection.connect(path)
        host = _host_user(connection)
        if host != os.geteuid():
            stream.close()
            connection.close()
            raise CanInitializationError(f"velkcan: the host of {path} runs as user {host}, "
                                         "not as you; refused")
        connection.sendall(_HELLO_RECORD)
        answer = stream.read(_RECORD.size)
    except OSError as error:
        stream.close()
        connection.close()
        raise CanInitializationError(
            f"velkcan: cannot attach to shared segment {path}: {error}; a host runs it "
            f"(`dnm simulate NETWORK` with `segment NAME shared={path}`)") from error
    if answer != _HELLO_RECORD:
        stream.close()
        connection.close()
        raise CanInitializationError(f"velkcan: {path} is not a shared segment's host: "
                                     "it did not answer the greeting")
    connection.settimeout(None)
    return connection, stream
