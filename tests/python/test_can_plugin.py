# python-can's interface "velkcan" on a shared segment hosted by `dnm simulate`:
# a simulated slave answers raw requests, python-can's filters, bit rates, own
# frames, what a bus refuses, and a host that ends.
import os
import subprocess

import pytest

can = pytest.importorskip("can", reason="python-can is missing (Debian: python3-can)")

SLAVE = 5  # answers on 0x403 + 8 * 5, vendor ID 0x1D2C


@pytest.fixture
def host(tmp_path):
    """The socket of a segment with the slave, hosted by dnm simulate for one test."""
    path = str(tmp_path / "bus.sock")
    (tmp_path / "net.txt").write_text(f"segment bus shared={path}\nslave segment=bus mac={SLAVE}\n")
    tool = os.path.join(os.environ["DNM_BUILD_DIR"], "bin", "dnm")
    simulator = subprocess.Popen([tool, "simulate", str(tmp_path / "net.txt")],
                                 stdout=subprocess.PIPE, text=True)
    said = "".join(iter(simulator.stdout.readline, "Ctrl-C ends it.\n"))  # up once it said so
    assert "hosted here" in said, said
    yield path, simulator
    simulator.terminate()
    simulator.wait()


def frame(identifier, data=(), **options):
    return can.Message(arbitration_id=identifier, data=data, is_extended_id=False, **options)


def fields(message):
    return message.arbitration_id, message.is_remote_frame, message.dlc, bytes(message.data)


EXCHANGES = [  # (request of the node at MAC ID 10, the slave's answer)
    (frame(0x42E, [0x4A, 0x4B, 3, 1, 1, 10]), frame(0x42B, [0x4A, 0xCB, 0x00])),  # allocate
    (frame(0x42C, [0x0A, 0x0E, 1, 1, 1]), frame(0x42B, [0x0A, 0x8E, 0x2C, 0x1D])),  # vendor ID
    (frame(0x42E, [0x4A, 0x0E, 1, 1, 1]), frame(0x42B, [0x4A, 0x94, 0x08, 0xFF])),  # unsupported
    (frame(0x42E, [0x4A, 0x4C, 3, 1, 1]), frame(0x42B, [0x4A, 0xCC])),  # release
]


def test_a_simulated_slave_answers_raw_requests(host):
    with can.Bus(interface="velkcan", channel=host[0]) as bus:
        reader = can.BufferedReader()
        notifier = can.Notifier(bus, [reader], timeout=0.1)
        for request, answer in EXCHANGES:
            bus.send(request)
            got = reader.get_message(5)
            assert (fields(got), got.is_rx, got.channel) == (fields(answer), True, host[0])
        notifier.stop()


def test_filters_bit_rates_and_own_frames(host):
    path = host[0]
    with can.Bus(interface="velkcan", channel=path, receive_own_messages=True) as node, \
            can.Bus(interface="velkcan", channel=path, bitrate=250_000,
                    receive_own_messages=True) as slow, \
            can.Bus(interface="velkcan", channel=path,
                    can_filters=[{"can_id": 0x100, "can_mask": 0x7F0}]) as watcher:
        slow.send(frame(0x101, [9]))
        assert slow.recv(5).arbitration_id == 0x101  # carried, before the frames below
        sent = [frame(0x200, [1]), frame(0x100, [1, 2, 3]), frame(0x105, is_remote_frame=True, dlc=2),
                frame(0x10F, bytes(8)), frame(0x000), frame(0x7FF, is_remote_frame=True, dlc=8)]
        for message in sent:
            node.send(message)
        for message in sent:  # own frames come back once carried
            own = node.recv(5)
            assert (fields(own), own.is_rx) == (fields(message), False)
        seen = [watcher.recv(5) for _ in range(3)]
        assert [fields(message) for message in seen] == [fields(message) for message in sent[1:4]]
        assert seen[0].timestamp <= seen[1].timestamp <= seen[2].timestamp


@pytest.mark.parametrize("use, error, words", [
    (lambda path: can.Bus(interface="velkcan", channel=path + "x"), can.CanInitializationError,
     "cannot attach to shared segment"),
    (lambda path: can.Bus(interface="velkcan", channel=path, bitrate=1_000_000), ValueError,
     "bitrate must be one of"),
    (lambda path: can.Bus(interface="velkcan", channel=path).send(frame(-1)), ValueError,
     r"arbitration_id -1 is out of range \(0..2047\)"),
    (lambda path: can.Bus(interface="velkcan", channel=path).send(frame(0x800)), ValueError,
     "arbitration_id 2048 is out of range"),
    (lambda path: can.Bus(interface="velkcan", channel=path).send(
        frame(0x100, is_remote_frame=True, dlc=9)), ValueError, "dlc 9 is out of range"),
    (lambda path: can.Bus(interface="velkcan", channel=path).send(can.Message(arbitration_id=0x800)),
     ValueError, "standard frames only"),
    (lambda path: can.Bus(interface="velkcan", channel=path).send(frame(0x100, bytes(9))),
     ValueError, "9 data bytes, at most 8"),
])
def test_what_a_bus_refuses(host, use, error, words):
    with pytest.raises(error, match=words):
        use(host[0])


def test_a_host_that_ends(host):
    path, simulator = host
    with can.Bus(interface="velkcan", channel=path) as bus:
        bus.send(EXCHANGES[0][0])
        assert fields(bus.recv(5)) == fields(EXCHANGES[0][1])
        simulator.terminate()
        simulator.wait()
        with pytest.raises(can.CanOperationError, match=f"the host of shared segment {path} is gone"):
            bus.recv(5)
        with pytest.raises(can.CanOperationError, match="is gone"):
            bus.send(EXCHANGES[1][0])
        assert bus.state == can.BusState.ERROR
