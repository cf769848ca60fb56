# Every argument is judged before ctypes would cut it to its C type's bits: just
# inside each end of its range it reaches the library unchanged, just outside it
# raises ValueError naming it, and what is no integer TypeError (the library is a
# stand-in that records the calls).
import ctypes
import os
import re
from array import array

import pytest

import velkcandnm
from velkcandnm import Board, FaultedNode, raw

EXPORT_MAP = os.path.join(os.path.dirname(__file__), "..", "..", "src", "api", "VELKCANDNM.map")


def map_exports():
    """The names every version node of the linker's export map lets out of the library."""
    with open(EXPORT_MAP, encoding="utf-8") as source:
        text = re.sub(r"/\*.*?\*/", "", source.read(), flags=re.S)
    return {name for names in re.findall(r"global:(.*?)(?:local:|})", text, flags=re.S)
            for name in re.findall(r"\w+", names)}


def test_raw_has_a_prototype_for_each_export_of_the_map_and_no_other():
    exported = map_exports()
    assert "DNM_GetVersion" in exported and "DNM_GetSetupFailure" in exported
    assert sorted(exported - raw.EXPORTS) == [], "exports without a prototype in raw"
    assert sorted(raw.EXPORTS - exported) == [], "prototypes of functions the library does not export"


PORT = Board(0).port(0)
DEVICE = PORT.device(3)
U8, U16, U32 = 0xFF, 0xFFFF, 0xFFFF_FFFF


class Recorder:
    """Stands in for the loaded library: each export records its arguments and succeeds."""

    def __init__(self):
        self.calls = []

    def __getattr__(self, export):
        def call(*arguments):
            self.calls.append((export, arguments))
            return b"DNM_NoError" if export == "DNM_GetErrorText" else 0
        return call

    def argument(self, export, name):
        """The value the last call of export passed as its C argument name."""
        arguments = [arguments for called, arguments in self.calls if called == export][-1]
        names = [argument for argument, _ in raw.ARGUMENTS[export]]
        return arguments[names.index(name)]


@pytest.fixture
def library(monkeypatch):
    recorder = Recorder()
    monkeypatch.setattr(raw, "_loaded", recorder)
    return recorder


RANGES = [  # (argument named in the error, call with the value, export, its C argument, range)
    ("board number", lambda v: Board(v).open(), "DNM_ActiveBoard", "board", 0, U8),
    ("port number", lambda v: Board(0).online(port=v), "DNM_Online", "port", 0, 3),
    ("mac", lambda v: Board(0).online(mac=v), "DNM_Online", "mac", 0, 63),
    ("port number", lambda v: Board(0).port(v).start(), "DNM_StartCommunicate", "port", 0, 3),
    ("mac", lambda v: PORT.change_mac(v), "DNM_ChangeMACID", "mac", 0, 63),
    ("mac", lambda v: PORT.add_device(v), "DNM_AddDevice", "mac", 0, 63),
    ("mac", lambda v: PORT.device(v).remove(), "DNM_RemoveDevice", "mac", 0, 63),
    ("new_mac", lambda v: PORT.change_faulted_mac(FaultedNode(1, 2), v), "DNM_ChangeFaultMACID",
     "new_mac", 0, 63),
    ("vendor_id", lambda v: PORT.change_faulted_mac(FaultedNode(v, 2), 41),
     "DNM_ChangeFaultMACID", "vendor_id", 0, U16),
    ("serial_number", lambda v: PORT.change_faulted_mac(FaultedNode(1, v), 41),
     "DNM_ChangeFaultMACID", "serial_number", 0, U32),
    ("watchdog_action", lambda v: DEVICE.configure_explicit(v), "DNM_ConfigExplicitMsg",
     "watchdog_action", 0, 3),
    # Each size and rate of a connection's configuration (the others 2), each number of an
    # attribute's path (the others 1).
    *[(name, lambda v, m=method, i=i, n=len(names) + 1: getattr(DEVICE, m)(
        *[v if j == i else 2 for j in range(n)]), export, name, 0, high)
      for method, export, names in [
          ("configure_poll", "DNM_ConfigPoll", [("input_size", 64), ("output_size", 64)]),
          ("configure_bit_strobe", "DNM_ConfigBitStrobe", [("input_size", 8)]),
          ("configure_cos", "DNM_ConfigCOS", [("input_size", 64), ("output_size", 64)]),
          ("configure_cyclic", "DNM_ConfigCyclic", [("input_size", 64), ("output_size", 64)])]
      for i, (name, high) in enumerate(names + [("expected_packet_rate", U16)])],
    *[(name, lambda v, f=call, i=i, a=a: f(*[v if j == i else 1 for j in range(3)], *a),
       export, name, 0, U8)
      for call, export, a in [(DEVICE.get_attribute, "DNM_GetAttributeEx", ()),
                              (DEVICE.set_attribute, "DNM_SetAttribute", (b"\1",))]
      for i, name in enumerate(["cls", "instance", "attribute"])],
    ("hz", velkcandnm.set_poll_frequency, "DNM_SetPollFrequency", "frequency", 0, U16),
    ("hz", velkcandnm.set_bit_strobe_frequency, "DNM_SetBitStrobeFrequency", "frequency", 0, U16),
    ("code", velkcandnm.error_text, "DNM_GetErrorText", "code", 0, U16),
]
SIZES = [  # (argument named in the error, call with a bytes-like value, export, range of its length)
    ("data", DEVICE.write_poll, "DNM_WritePollOutputData", 0, 64),
    ("data", DEVICE.write_cos, "DNM_WriteCOSOutputData", 0, 64),
    ("data", DEVICE.write_cyclic, "DNM_WriteCyclicOutputData", 0, 64),
    ("value", lambda v: DEVICE.set_attribute(0x64, 1, 1, v), "DNM_SetAttribute", 1, 255),
]
# The raw exports judge each integer argument by its C type (the library judges
# the rest): each argument name and type, in the first export that has it.
RAW = list({(name, kind): (export, name, kind)
            for export, arguments in sorted(raw.ARGUMENTS.items(), reverse=True)
            for name, kind in arguments if kind in raw.INTEGER_RANGES}.values())


def edges(low, high):
    return [(low - 1, False), (low, True), (high, True), (high + 1, False)]


def raw_call(export, name, value):
    arguments = [value if argument == name else (0 if kind in raw.INTEGER_RANGES else None)
                 for argument, kind in raw.ARGUMENTS[export]]
    return getattr(raw, export)(*arguments)


CASES = [
    *[pytest.param(argument, call, export, c_argument, value, taken, id=f"{argument}={value}:{export}")
      for argument, call, export, c_argument, low, high in RANGES for value, taken in edges(low, high)],
    *[pytest.param(argument, lambda n, call=call: call(bytes(n)), export, "length", value, taken,
                   id=f"{argument}[{value}]:{export}")
      for argument, call, export, low, high in SIZES for value, taken in edges(low, high)
      if value >= 0],
    *[pytest.param(name, lambda v, e=export, n=name: raw_call(e, n, v), export, name, value, taken,
                   id=f"raw.{export}:{name}={value}")
      for export, name, kind in RAW for value, taken in edges(*raw.INTEGER_RANGES[kind])],
]


@pytest.mark.parametrize("argument, call, export, c_argument, value, taken", CASES)
def test_ranges_edges(library, argument, call, export, c_argument, value, taken):
    if taken:
        call(value)
        assert library.argument(export, c_argument) == value
    else:
        with pytest.raises(ValueError, match=rf"^{argument} (holds )?{value} .*out of range"):
            call(value)
        assert library.calls == []


def c_array(kind, length):
    return (kind * length)()


U8S, U16S, U32S = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32
BUFFERS = [  # (argument, raw call with an array of the given length, the least length it takes)
    ("data", lambda n: raw.DNM_WritePollOutputData(0, 0, 3, c_array(U8S, n), 5), 5),
    ("data", lambda n: raw.DNM_WriteCyclicOutputData(0, 0, 3, ctypes.byref(c_array(U8S, n)), 2), 2),
    ("value", lambda n: raw.DNM_SetAttribute(0, 0, 3, 1, 1, 1, c_array(U8S, n), 255), 255),
    ("data", lambda n: raw.DNM_GetAttribute(0, 0, 3, 1, 1, 7, c_array(U8S, n), None), 64),
    ("data", lambda n: raw.DNM_GetAttributeEx(0, 0, 3, 1, 1, 7, c_array(U8S, n), 10, None), 10),
    ("data", lambda n: raw.DNM_GetAttributeEx(0, 0, 3, 1, 1, 7, c_array(U8S, n), 300, None), 255),
    ("list", lambda n: raw.DNM_GetAllDeviceMACID(0, 0, ctypes.byref(c_array(U8S, n)), None), 64),
    ("vendor_ids", lambda n: raw.DNM_GetAllFaultNode(0, 0, c_array(U16S, n), c_array(U32S, 64), 1),
     64),
    ("serial_numbers",
     lambda n: raw.DNM_GetAllFaultNodeEx(0, 0, c_array(U16S, 9), c_array(U32S, n), 9, None), 9),
    ("vendor_ids",
     lambda n: raw.DNM_GetAllFaultNodeEx(0, 0, c_array(U16S, n), c_array(U32S, 64), 0, None), 64),
]


@pytest.mark.parametrize("argument, call, least", BUFFERS)
def test_arrays_hold_what_the_library_reads_or_writes(library, argument, call, least):
    with pytest.raises(ValueError, match=f"^{argument} holds"):
        call(least - 1)
    assert library.calls == []
    call(least)
    assert len(library.calls) == 1


NOT_NUMBERS = [  # (call, argument named in the TypeError)
    (lambda: Board(True), "board number"),
    (lambda: Board(0.0), "board number"),
    (lambda: Board(0).online(port="0"), "port number"),
    (lambda: Board(0).online(mac=False), "mac"),
    (lambda: Board(0).online(baud=500_000.0), "baud"),
    (lambda: Board(0).online(baud=True), "baud"),
    (lambda: PORT.device(3.0), "mac"),
    (lambda: PORT.add_device(3, ucmm="yes"), "ucmm"),
    (lambda: DEVICE.configure_poll(4, True), "output_size"),
    (lambda: DEVICE.get_attribute(1, 1, 7.0), "attribute"),
    (lambda: DEVICE.set_attribute(1, 1, 1, "text"), "value"),
    (lambda: DEVICE.write_poll(4), "data"),
    (lambda: DEVICE.connection_status(1), "kind"),
    (lambda: velkcandnm.set_poll_frequency(10.5), "hz"),
    (lambda: raw.DNM_ActiveBoard(True), "board"),
    (lambda: raw.DNM_SetPollFrequency(1.0), "frequency"),
]


@pytest.mark.parametrize("call, argument", NOT_NUMBERS)
def test_what_is_no_number_is_refused(library, call, argument):
    with pytest.raises(TypeError, match=f"^{argument} must be"):
        call()
    assert library.calls == []


CHOICES = [  # (call, the value it passes to its export, or the ValueError's start)
    (lambda: Board(0).online(baud=125_000), ("DNM_Online", "baud", 2)),
    (lambda: Board(0).online(baud=125_001), "baud must be one of"),
    (lambda: Board(0).port(1).change_baud(250_000), ("DNM_ChangeBaudrate", "baud", 1)),
    (lambda: Board(0).port(1).change_baud(2), "baud must be one of"),
    (lambda: PORT.add_device(3, ucmm=True), ("DNM_AddDevice", "ucmm", 1)),
    (lambda: PORT.add_device(3, ucmm=0), ("DNM_AddDevice", "ucmm", 0)),
    (lambda: PORT.add_device(3, ucmm=2), "ucmm 2 is out of range"),
    (lambda: raw.DNM_AddDevice(0, 0, 3, True), ("DNM_AddDevice", "ucmm", True)),
    (lambda: DEVICE.write_poll(array("H", [1, 2])), ("DNM_WritePollOutputData", "length", 4)),
    (lambda: DEVICE.setup_failure("strobe"), "kind must be one of"),
    (lambda: DEVICE.connection_status("strobe"), "kind must be one of"),
]


@pytest.mark.parametrize("call, outcome", CHOICES)
def test_choices(library, call, outcome):
    if isinstance(outcome, str):
        with pytest.raises(ValueError, match=f"^{outcome}"):
            call()
    else:
        call()
        assert library.argument(*outcome[:2]) == outcome[2]

