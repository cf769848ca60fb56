# The Python package on the virtual card of network.txt, through the built
# library: what each call returns or raises, I/O exchanges, long attributes,
# faulted nodes, and the message when the library cannot be loaded.
import ctypes
import dataclasses
import os
import subprocess
import sys
import time

import pytest

import velkcandnm
from velkcandnm import Board, Counters, DnmError, FaultedNode, SetupFailure, Status, raw

MASTER, BLOCK, ISLAND, SENSOR, MISFIT, FAULTED = 0, 3, 7, 9, 12, 40


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def setup_failure_but_age(device, kind):
    assert wait_for(lambda: device.setup_failure(kind))
    return dataclasses.replace(device.setup_failure(kind), age=0.0)


@pytest.fixture(scope="module")
def port():
    with Board(0) as board:
        port = board.online(port=0, mac=MASTER, baud=500_000)
        port.add_device(BLOCK).configure_poll(input_size=4, output_size=4)
        port.add_device(ISLAND).configure_bit_strobe(input_size=2)
        port.add_device(SENSOR).configure_cos(2, 2, expected_packet_rate=1000)
        port.add_device(MISFIT).configure_poll(input_size=2, output_size=2)
        port.start()
        for mac in (BLOCK, ISLAND, SENSOR):
            assert port.device(mac).wait_connected(10).ok, mac
        yield port


RESULTS = [  # (call on the online port, what it returns)
    (lambda p: p.scan(), [BLOCK, ISLAND, SENSOR, MISFIT]),
    (lambda p: p.device(BLOCK).get_attribute(1, 1, 7), b"\x10Virtual IO Block"),
    (lambda p: p.device(BLOCK).status, Status(0, "DNM_NoError")),
    (lambda p: p.device(BLOCK).connection_status("poll").ok, True),
    (lambda p: p.device(BLOCK).connection_status("cos"), Status(1907, "DNM_COS_CyclicNotConfigure")),
    (lambda p: p.device(20).status, Status(1801, "DNM_DeviceNotInScanList")),
    (lambda p: len(p.device(ISLAND).read_bit_strobe()), 2),
    (lambda p: p.device(20).counters, Counters(*[0] * 13)),
    (lambda p: p.device(20).poll_period_achieved, 0),
    # A frame takes 47 bits at least: the header, CRC and the rest with no data and no stuffing.
    (lambda p: (s := p.statistics()).bits_sent >= 47 * s.frames_sent > 0, True),
    (lambda p: p.device(BLOCK).setup_failure("poll"), None),
    (lambda p: setup_failure_but_age(p.device(MISFIT), "poll"),
     SetupFailure(1, "the device produces 3 bytes, 2 configured as input", 0.0, device_size=3,
                  configured_size=2)),
    (lambda p: velkcandnm.error_text(1204), "DNM_OnlineError"),
    (lambda p: velkcandnm.error_text(9999), "unknown"),
    (lambda p: velkcandnm.version(), float(velkcandnm.__version__)),
    (lambda p: velkcandnm.board_count(), 2),
    (lambda p: velkcandnm.set_poll_frequency(0), 0),
    (lambda p: raw.DNM_GetErrorText(1801), b"DNM_DeviceNotInScanList"),
]


@pytest.mark.parametrize("call, expected", RESULTS)
def test_results(port, call, expected):
    assert call(port) == expected


FAILURES = [  # (call on the online port, export and code raised)
    (lambda p: Board(7).open(), "DNM_ActiveBoard", 1300),
    (lambda p: Board(0).open(), "DNM_ActiveBoard", 1302),
    (lambda p: p.board.online(port=0), "DNM_Online", 1400),
    (lambda p: p.board.port(1).start(), "DNM_StartCommunicate", 1206),
    (lambda p: p.board.port(1).statistics(), "DNM_GetPortStatistics", 1206),
    (lambda p: p.add_device(BLOCK), "DNM_AddDevice", 1800),
    (lambda p: p.add_device(MASTER), "DNM_AddDevice", 1203),
    (lambda p: p.device(20).read_poll(), "DNM_ReadPollInputData", 1801),
    (lambda p: p.device(BLOCK).start(), "DNM_StartDevice", 1803),
    (lambda p: p.device(BLOCK).write_poll(b"12345"), "DNM_WritePollOutputData", 1905),
    (lambda p: p.device(BLOCK).read_cos(), "DNM_ReadCOSInputData", 1907),
    (lambda p: p.device(BLOCK).read_bit_strobe(), "DNM_ReadBitStrobe", 1802),
    (lambda p: p.device(BLOCK).setup_failure("cyclic"), "DNM_GetSetupFailure", 1907),
    (lambda p: p.device(SENSOR).configure_cyclic(2, 2, 100), "DNM_ConfigCyclic", 3300),
    (lambda p: p.device(SENSOR).write_cos(b"1"), "DNM_WriteCOSOutputData", 2204),
    # Before test_faulted_node_rejoins_under_a_new_mac_id takes ownership.
    (lambda p: p.faulted_node_count(), "DNM_CheckFaultNode", 4001),
    (lambda p: p.faulted_nodes(), "DNM_GetAllFaultNodeEx", 4001),
    (lambda p: p.change_faulted_mac(FaultedNode(1, 2), 41), "DNM_ChangeFaultMACID", 4001),
]


@pytest.mark.parametrize("call, export, code", FAILURES)
def test_failures(port, call, export, code):
    with pytest.raises(DnmError) as raised:
        call(port)
    error = raised.value
    name = velkcandnm.error_text(code)
    assert (error.export, error.code, error.name, error.general_status) == (export, code, name, None)
    assert str(error) == f"{export} failed: {code} {name}"


@pytest.mark.parametrize("call, export, code, general, words", [
    (lambda d: d.get_attribute(0x64, 1, 99), "DNM_GetAttributeEx", 1701, 0x14,
     "general status 0x14 (attribute not supported), additional status 0xFF (none)"),
    (lambda d: d.set_attribute(1, 1, 1, b"\x01\x00"), "DNM_SetAttribute", 1601, 0x0E,
     "general status 0x0E (attribute not settable), additional status 0xFF (none)"),
])
def test_error_responses_carry_the_statuses_in_words(port, call, export, code, general, words):
    with pytest.raises(DnmError) as raised:
        call(port.device(BLOCK))
    error = raised.value
    assert (error.export, error.code, error.general_status, error.additional_status,
            error.status_text) == (export, code, general, 0xFF, words)
    assert str(error).endswith(f"error response: {words}")


@pytest.mark.parametrize("mac, write, read, outputs", [
    (BLOCK, "write_poll", "read_poll", [b"\x01\x02\x03\x04", bytearray(b"\xa5\x5a\x00\xff")]),
    (SENSOR, "write_cos", "read_cos", [b"\x12\x34", memoryview(b"\xbe\xef")]),
])
def test_inputs_follow_the_outputs(port, mac, write, read, outputs):
    device = port.device(mac)
    for data in outputs:
        getattr(device, write)(data)
        assert wait_for(lambda: getattr(device, read)() == bytes(data)), data
    assert dataclasses.astuple(device.counters)[2:] == (0,) * 11  # the I/O counters


def test_a_size_mismatch_keeps_its_cause_while_the_status_goes_round(port):
    # The set is released and set up again every few seconds: the check reads
    # the size, the explicit connection down, or the set being set up, in
    # turn, while the set-up failure names the size throughout (and the
    # explicit connection, released with the set, none).
    misfit = port.device(MISFIT)
    assert wait_for(lambda: misfit.setup_failure("poll"))
    statuses, causes = set(), set()
    deadline = time.monotonic() + 5
    while time.monotonic() < deadline:
        statuses.add(misfit.connection_status("poll").code)
        causes.add((misfit.setup_failure("poll").cause, misfit.setup_failure("explicit")))
        time.sleep(0.02)
    assert causes == {(1, None)}
    assert len(statuses) > 1 and statuses <= {1908, 1804, 1802}, statuses


def test_poll_period_achieved_once_polled(port):
    assert port.device(BLOCK).poll_period_achieved > 0


@pytest.mark.parametrize("length", [1, 7, 65, velkcandnm.LONGEST_ATTRIBUTE])
def test_attribute_values_of_every_length_go_both_ways(port, length):
    block = port.device(BLOCK)
    value = bytes((i * 7 + length) & 0xFF for i in range(length))
    block.set_attribute(0x64, 1, 1, value)
    assert block.get_attribute(0x64, 1, 1) == value
    # The 64-byte export refuses what the long read returns.
    data, size = (ctypes.c_uint8 * 64)(), ctypes.c_uint32()
    code = raw.DNM_GetAttribute(0, 0, BLOCK, 0x64, 1, 1, data, ctypes.byref(size))
    assert code == (0 if length <= 64 else 1704)


def test_faulted_node_rejoins_under_a_new_mac_id(port):
    port.get_ownership()
    assert port.faulted_node_count() == 1
    assert port.faulted_nodes() == [FaultedNode(901, 400040)]
    port.change_faulted_mac(FaultedNode(901, 400040), 41)
    assert wait_for(lambda: 41 in port.scan())
    assert port.faulted_nodes() == []


def test_board_closes_at_the_end_of_its_block():
    with pytest.raises(KeyError):
        with Board(1):
            raise KeyError("raised in the block")
    with Board(1) as board:
        board.close()  # closing it early is no error at the end
    assert raw.DNM_CloseBoard(1) == 1301


@pytest.mark.parametrize("place, reason", [
    ("no-such-directory", "no such file"),
    ("libVELKCAN.so", "undefined symbol: DNM_GetVersion"),
])
def test_a_missing_library_is_named_with_the_reason(place, reason):
    library = os.path.join(os.environ["VELKCANDNM_LIBRARY"], place)
    run = subprocess.run([sys.executable, "-c", "import velkcandnm; velkcandnm.version()"],
                         env={**os.environ, "VELKCANDNM_LIBRARY": library,
                              "PYTHONPATH": os.pathsep.join(sys.path)},
                         capture_output=True, text=True)
    assert run.returncode == 1
    assert f"LibraryNotFound: velkcandnm: cannot load libVELKCANDNM.so.1; tried:\n  {library}" \
        in run.stderr
    assert reason in run.stderr and "Set VELKCANDNM_LIBRARY to the library file" in run.stderr
