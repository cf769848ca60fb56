"""A slave device in a port's scan list: its connections, I/O data, attributes and state."""

from __future__ import annotations

import ctypes
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Optional

from . import raw
from ._arguments import bytes_like, choice, integer
from .errors import ERROR_RESPONSE_CODES, GENERAL_STATUS, DnmError, error_text

if TYPE_CHECKING:
    from .board import Port

# The longest value DNM_GetAttributeEx reads: the longest a set can write.
LONGEST_ATTRIBUTE = 255
_IO_AREA = 64  # the longest poll, COS or cyclic input or output
_BIT_STROBE_AREA = 8  # the longest bit-strobe input
MAC_IDS = (0, 63)
_WATCHDOG_ACTIONS = (0, 3)
# Arguments that the reference allows in the whole of their C type (class,
# instance and attribute IDs, expected packet rates) are judged by raw, under
# the same names.


def _sizes(input_size: int, output_size: int) -> tuple[int, int]:
    """An I/O connection's input and output sizes, 0 to 64 bytes each."""
    return (integer("input_size", input_size, 0, _IO_AREA),
            integer("output_size", output_size, 0, _IO_AREA))

_CONNECTION_CHECKS = {
    "explicit": "DNM_CheckExplicitMsgConnectionStatus",
    "poll": "DNM_CheckPollConnectionStatus",
    "bit_strobe": "DNM_CheckBitStrobeConnectionStatus",
    "cos": "DNM_CheckCOSConnectionStatus",
    "cyclic": "DNM_CheckCyclicConnectionStatus",
}

# DNM_GetSetupFailure's connection kinds: COS and cyclic share one.
_SETUP_KINDS = {"explicit": 0, "poll": 1, "bit_strobe": 2, "cos": 3, "cyclic": 3}
_SETUP_REQUESTS = {
    1: "allocation of the connection set", 2: "opening of the explicit connection through UCMM",
    3: "read of Produced_Connection_Size", 4: "read of Consumed_Connection_Size",
    5: "setting of Expected_Packet_Rate",
}


@dataclass(frozen=True)
class Status:
    """A status code of the library: 0 when the connections stand, else why not.

    Besides the library's codes (``DNM_DeviceIsUnConnected``...), a connection
    check may give 255 (being set up) or the step at which a set-up failed.
    """

    code: int
    name: str

    @classmethod
    def of(cls, code: int) -> "Status":
        return cls(code, error_text(code))

    @property
    def ok(self) -> bool:
        return self.code == 0

    def __str__(self) -> str:
        return f"{self.code} {self.name}"


@dataclass(frozen=True)
class Counters:
    """A device's error counters, each counting since the device was added.

    A stop, start or reconnection resets none; docs/api/counters.md says
    what each one counts.
    """

    explicit_no_response: int
    explicit_error_response: int
    bit_strobe_no_response: int
    cos_cyclic_with_poll_no_response: int
    cos_cyclic_with_poll_error_response: int
    cos_cyclic_with_poll_fragment_error: int
    cos_cyclic_with_poll_send_error: int
    cos_cyclic_without_poll_send_error: int
    cos_cyclic_without_poll_ack_no_response: int
    poll_send_error: int
    poll_no_response: int
    poll_error_response: int
    poll_fragment_error: int


@dataclass(frozen=True)
class SetupFailure:
    """Why a connection last failed to stand, and how long ago (``DNM_GetSetupFailure``).

    ``cause`` is the library's code (1 size of the inputs, 2 size of the
    outputs, 3 refused, 4 no answer, 5 lost, 6 stopped), ``words`` says it as
    ``dnm`` does, ``age`` is in seconds. Only the fields of the cause are set,
    the others are 0: the sizes for a size mismatch, ``request`` (1 to 5, in
    words in ``words``) and the statuses for a refusal, ``request`` for a
    request without answer, ``missed_answers`` for a loss.
    """

    cause: int
    words: str
    age: float
    request: int = 0
    device_size: int = 0
    configured_size: int = 0
    general_status: int = 0
    additional_status: int = 0
    missed_answers: int = 0

    @classmethod
    def of(cls, failure: raw.DNM_SetupFailure) -> "SetupFailure":
        fields = {name: getattr(failure, name) for name, _ in failure._fields_}
        age_ms = fields.pop("age_ms")
        return cls(words=_setup_words(failure), age=age_ms / 1000, **fields)

    def __str__(self) -> str:
        return f"{self.words} ({self.age:.1f} s ago)"


def _setup_words(failure: raw.DNM_SetupFailure) -> str:
    request = _SETUP_REQUESTS.get(failure.request, "request")
    if failure.cause in (1, 2):
        produced = failure.cause == 1
        return (f"the device {'produces' if produced else 'consumes'} {failure.device_size} "
                f"bytes, {failure.configured_size} configured as "
                f"{'input' if produced else 'output'}")
    if failure.cause == 3:
        meaning = GENERAL_STATUS.get(failure.general_status, "unknown")
        return (f"the device refused the {request}: general status "
                f"0x{failure.general_status:02X} ({meaning}), "
                f"additional 0x{failure.additional_status:02X}")
    if failure.cause == 4:
        return f"no answer to the {request}"
    if failure.cause == 5:
        return f"lost after {failure.missed_answers} missed answers"
    return "stopped"


class Device:
    """A device in the scan list of an online port, by its MAC ID.

    Made by :meth:`Port.add_device` (or :meth:`Port.device` for one already in
    the scan list). The object holds only the board, port and MAC ID, so any
    number of threads may share it: the library's locks order the calls (see
    the package's documentation). Every failed call raises
    :class:`~velkcandnm.DnmError`.

    Configuring, starting, stopping and removing hold the port exclusively;
    reads, writes, statuses and attribute calls run side by side, and wait
    (a few seconds at most) only while another thread changes the port.
    """

    def __init__(self, port: "Port", mac: int) -> None:
        self.port = port
        self.mac = integer("mac", mac, *MAC_IDS)
        self._address = (port.board.number, port.number, self.mac)

    def __repr__(self) -> str:
        board, port, mac = self._address
        return f"<Device board {board} port {port} MAC ID {mac}>"

    def _call(self, export: str, *arguments: object) -> None:
        code = getattr(raw, export)(*self._address, *arguments)
        if code == 0:
            return
        if code not in ERROR_RESPONSE_CODES:
            raise DnmError(export, code)
        try:
            statuses = self.last_error_response()
        except DnmError:  # the device went meanwhile: the code alone
            raise DnmError(export, code) from None
        raise DnmError(export, code, *statuses)

    # Connections -------------------------------------------------------------

    def configure_explicit(self, watchdog_action: int = 3) -> None:
        """Configure the explicit messaging connection (``DNM_ConfigExplicitMsg``).

        ``watchdog_action``: what the device does when the connection stays
        idle: 0 time out, 1 auto delete, 2 auto reset, 3 deferred delete.
        The I/O configurations add it with 3 when there is none. Does not
        wait on the bus; once started, the library keeps the connection alive.
        """
        self._call("DNM_ConfigExplicitMsg",
                   integer("watchdog_action", watchdog_action, *_WATCHDOG_ACTIONS))

    def configure_poll(self, input_size: int, output_size: int,
                       expected_packet_rate: int = 0) -> None:
        """Configure the poll connection (``DNM_ConfigPoll``).

        Sizes are the device's produced (input) and consumed (output) sizes, 0
        to 64 bytes; the library compares them with the device's before it
        polls. See docs/api/DNM_ConfigPoll.md for the expected packet rate the
        device receives. Does not wait on the bus.
        """
        self._call("DNM_ConfigPoll", *_sizes(input_size, output_size), expected_packet_rate, 0)

    def configure_bit_strobe(self, input_size: int, expected_packet_rate: int = 0) -> None:
        """Configure the bit-strobe connection (``DNM_ConfigBitStrobe``): inputs of 0 to 8 bytes.

        Does not wait on the bus.
        """
        self._call("DNM_ConfigBitStrobe", integer("input_size", input_size, 0, _BIT_STROBE_AREA),
                   expected_packet_rate, 0)

    def configure_cos(self, input_size: int, output_size: int, expected_packet_rate: int) -> None:
        """Configure a change of state connection (``DNM_ConfigCOS``).

        Sizes 0 to 64 bytes; ``expected_packet_rate`` in ms is the device's
        heartbeat (0: no limit). Does not wait on the bus.
        """
        self._call("DNM_ConfigCOS", *_sizes(input_size, output_size), 0, expected_packet_rate, 0)

    def configure_cyclic(self, input_size: int, output_size: int,
                         expected_packet_rate: int) -> None:
        """Configure a cyclic connection (``DNM_ConfigCyclic``): inputs every rate ms.

        Does not wait on the bus.
        """
        self._call("DNM_ConfigCyclic", *_sizes(input_size, output_size), 0, expected_packet_rate,
                   0)

    def start(self) -> None:
        """Let the library set up and keep the configured connections (``DNM_StartDevice``).

        Does not wait on the bus: the explicit connection usually stands within
        a few hundred ms; see :meth:`wait_connected`.
        """
        self._call("DNM_StartDevice")

    def stop(self) -> None:
        """Release the connections until the next start (``DNM_StopDevice``). Does not wait."""
        self._call("DNM_StopDevice")

    def remove(self) -> None:
        """Take the device out of the scan list (``DNM_RemoveDevice``); up to 3 s."""
        self._call("DNM_RemoveDevice")

    # I/O data ----------------------------------------------------------------

    def _read(self, export: str, capacity: int = _IO_AREA) -> bytes:
        data = (ctypes.c_uint8 * capacity)()
        length = ctypes.c_uint32()
        self._call(export, data, ctypes.byref(length))
        return bytes(data[:length.value])

    def _write(self, export: str, outputs: bytes) -> None:
        content = bytes_like("data", outputs, 0, _IO_AREA)
        self._call(export, (ctypes.c_uint8 * len(content)).from_buffer_copy(content), len(content))

    def read_poll(self) -> bytes:
        """The last complete poll response (zeros before the first). Does not wait on the bus."""
        return self._read("DNM_ReadPollInputData")

    def write_poll(self, data: bytes) -> None:
        """Outputs for the next polls: exactly the output size. Does not wait on the bus."""
        self._write("DNM_WritePollOutputData", data)

    def read_bit_strobe(self) -> bytes:
        """The device's latest bit-strobe response. Does not wait on the bus."""
        return self._read("DNM_ReadBitStrobe", _BIT_STROBE_AREA)

    def read_cos(self) -> bytes:
        """The newest whole change of state input (about 100 ms behind at most). Does not wait."""
        return self._read("DNM_ReadCOSInputData")

    def write_cos(self, data: bytes) -> None:
        """Outputs that answer the next input (or go with the polls). Does not wait on the bus."""
        self._write("DNM_WriteCOSOutputData", data)

    def read_cyclic(self) -> bytes:
        """The newest whole cyclic input. Does not wait on the bus."""
        return self._read("DNM_ReadCyclicInputData")

    def write_cyclic(self, data: bytes) -> None:
        """Outputs of the cyclic connection. Does not wait on the bus."""
        self._write("DNM_WriteCyclicOutputData", data)

    # Attributes --------------------------------------------------------------

    def get_attribute(self, cls: int, instance: int, attribute: int) -> bytes:
        """Read an attribute's value, up to 255 bytes (``DNM_GetAttributeEx``).

        Waits up to 3 s for the explicit requests before it on the device, then
        up to 3 s for the answer and 3 s for each further fragment of a long
        value; a few ms on an idle bus. An error response of the device raises
        :class:`~velkcandnm.DnmError` with its statuses.
        """
        data = (ctypes.c_uint8 * LONGEST_ATTRIBUTE)()
        length = ctypes.c_uint32()
        self._call("DNM_GetAttributeEx", cls, instance, attribute, data, LONGEST_ATTRIBUTE,
                   ctypes.byref(length))
        return bytes(data[:length.value])

    def set_attribute(self, cls: int, instance: int, attribute: int, value: bytes) -> None:
        """Write an attribute's value, 1 to 255 bytes (``DNM_SetAttribute``).

        Waits as :meth:`get_attribute`, with up to 3 s for each fragment's
        acknowledgement.
        """
        content = bytes_like("value", value, 1, LONGEST_ATTRIBUTE)
        self._call("DNM_SetAttribute", cls, instance, attribute,
                   (ctypes.c_uint8 * len(content)).from_buffer_copy(content), len(content))

    def last_error_response(self) -> tuple[int, int]:
        """General and additional status of the device's last error response to an attribute call.

        (0, 0) when there was none. Another thread's attribute call may replace
        them: :class:`~velkcandnm.DnmError` already carries those of its call.
        """
        general, additional = ctypes.c_uint8(), ctypes.c_uint8()
        code = raw.DNM_GetLastErrorResponse(*self._address, ctypes.byref(general),
                                            ctypes.byref(additional))
        if code != 0:
            raise DnmError("DNM_GetLastErrorResponse", code)
        return general.value, additional.value

    # State -------------------------------------------------------------------

    @property
    def status(self) -> Status:
        """Whether every configured connection stands (``DNM_GetDeviceStatus``).

        Never raises: 0 or the first failing check's code (explicit, poll,
        bit-strobe, COS, cyclic), or the device check's code (1801 and the
        like). Does not wait on the bus.
        """
        return Status.of(raw.DNM_GetDeviceStatus(*self._address))

    def connection_status(self, kind: str) -> Status:
        """The status of one connection: ``"explicit"``, ``"poll"``, ``"bit_strobe"``,
        ``"cos"`` or ``"cyclic"``. Never raises for a code; does not wait on the bus."""
        check = _CONNECTION_CHECKS[choice("kind", kind, _CONNECTION_CHECKS)]
        return Status.of(getattr(raw, check)(*self._address))

    def wait_connected(self, timeout: float = 5.0, kind: str = "") -> Status:
        """Check every 0.1 s until the device's (or one connection's) status is 0.

        Returns the last status seen: ``ok`` is false when ``timeout`` seconds
        passed first.
        """
        deadline = time.monotonic() + timeout
        while True:
            status = self.connection_status(kind) if kind else self.status
            if status.ok or time.monotonic() >= deadline:
                return status
            time.sleep(0.1)

    @property
    def counters(self) -> Counters:
        """The thirteen error counters at once. Never blocks; all 0 for no device."""
        return Counters(*(getattr(raw, export)(*self._address) for export in raw.COUNTER_EXPORTS))

    @property
    def poll_period_achieved(self) -> int:
        """How often the device is really polled, in ms (``DNM_GetPollPeriodAchieved``).

        An average over the last polls; 0 until the poll connection stood and
        polled twice. Compare it with the period asked for
        (:func:`~velkcandnm.set_poll_frequency`, 100 ms at load). Never blocks.
        """
        return int(raw.DNM_GetPollPeriodAchieved(*self._address))

    def setup_failure(self, kind: str = "explicit") -> Optional[SetupFailure]:
        """Why a connection last failed to stand since it last stood (``DNM_GetSetupFailure``).

        ``kind`` as for :meth:`connection_status`; ``"cos"`` and ``"cyclic"``
        name the same connection. None while it stands and until something
        fails after it was configured. Raises :class:`~velkcandnm.DnmError`
        for a device not in the scan list or a connection not configured.
        Does not wait on the bus; read it beside :attr:`status` to say why a
        connection does not stand.
        """
        failure = raw.DNM_SetupFailure()
        self._call("DNM_GetSetupFailure", _SETUP_KINDS[choice("kind", kind, _SETUP_KINDS)],
                   ctypes.byref(failure))
        return SetupFailure.of(failure) if failure.cause else None
