"""The process image over Modbus TCP: outputs written reach the devices and come back in their
echoed inputs, addresses outside the map are answered with exception 2, the printed map is what
the server answers, clients do not hold each other up, and a reload moves no address."""
import re
import select
import signal
import socket
import struct
import subprocess
import threading
import time

import pytest
from pymodbus.client import ModbusTcpClient

from conftest import (DNM, STATUS, STATUS_REGISTERS, base, read, wait_connected, wait_until)

NETWORK = """segment bus
port 0/1 segment=bus
slave segment=bus mac=3 produced=3 consumed=3 inputs=echo
slave segment=bus mac=9 produced=2 consumed=2 inputs=echo
slave segment=bus mac=7 strobe_produced=2 inputs=counter
slave segment=bus mac=12 vendor=77 produced=2 consumed=2
"""
SCAN_LIST = """port 0/0 mac=0 baud=500
  device 3
    poll in=3 out=3
  device 9
    cos in=2 out=2 heartbeat=500
  device 7
    strobe in=2
  device 12 vendor=901
    poll in=2 out=2
"""
MISMATCHED = 12  # answers with another vendor ID: not started


@pytest.fixture(scope="module")
def plant(scanner_on):
    scanner = scanner_on(NETWORK, SCAN_LIST)
    client = scanner.client()
    wait_connected(client, [3, 9, 7])
    client.close()
    return scanner


@pytest.fixture
def client(plant):
    """A client of the plant's server, closed when the test ends (so that it holds no slot)."""
    connected = plant.client()
    yield connected
    connected.close()


def test_outputs_written_reach_the_device_and_come_back_in_its_inputs(client):
    poll = base(3)
    assert not client.write_registers(poll, [0xA1B2, 0xC3D4]).isError()
    # Three bytes: the low byte of the second register is no output.
    assert read(client, poll, 2, "holding") == [0xA1B2, 0xC300]
    wait_until("the echoed poll inputs", lambda: read(client, poll, 2) == [0xA1B2, 0xC300])
    assert not client.write_register(poll + 1, 0x5500).isError()
    assert read(client, poll, 2, "holding") == [0xA1B2, 0x5500]
    wait_until("the echo of one register written",
               lambda: read(client, poll, 2) == [0xA1B2, 0x5500])
    cos = base(9) + 36
    assert not client.write_register(cos, 0xBEEF).isError()
    wait_until("the echoed COS inputs", lambda: read(client, cos) == [0xBEEF])


BAD_ADDRESSES = {
    "no device at MAC ID 0": lambda c: c.read_input_registers(0, 1),
    "one past the status block": lambda c: c.read_input_registers(base(3) + STATUS,
                                                                  STATUS_REGISTERS + 1),
    "past 3 poll input bytes": lambda c: c.read_input_registers(base(3), 3),
    "bit-strobe inputs of a polled device": lambda c: c.read_input_registers(base(3) + 32, 1),
    "poll inputs of a bit-strobed device": lambda c: c.read_input_registers(base(7), 1),
    "poll outputs of a COS device": lambda c: c.read_holding_registers(base(9), 1),
    "the status block as holding registers":
        lambda c: c.read_holding_registers(base(3) + STATUS, 1),
    "outputs of a bit-strobed device": lambda c: c.write_register(base(7) + 32, 1),
    "writing past the poll outputs": lambda c: c.write_registers(base(3) + 1, [1, 2]),
    "a port not in the list": lambda c: c.read_input_registers(8192 + base(3), 1),
    "coils": lambda c: c.read_coils(0, 1),
}


def test_addresses_outside_the_map_are_answered_with_exception_2(client):
    for what, call in BAD_ADDRESSES.items():
        answer = call(client)
        assert answer.isError() and answer.exception_code == 2, what


def ranges_of(document):
    for port in document["ports"]:
        for device in port["devices"]:
            assert device["base"] == base(device["mac"], port["index"])
            for table in ("input", "holding"):
                for found in device[f"{table}_registers"]:
                    yield device["mac"], table, found


def test_the_printed_map_is_what_the_server_answers(plant, client):
    document = plant.register_map()
    printed = []
    for mac, table, found in ranges_of(document):
        start, count = found["start"], found["count"]
        printed.append((table, start, start + count - 1, found["name"]))
        not_started = mac == MISMATCHED and table == "input" and found["name"] != "status"
        answer = read(client, start, count, table)
        assert answer == 4 if not_started else isinstance(answer, list), found
        assert read(client, start + count, 1, table) == 2, found
        assert read(client, start - 1, 1, table) == 2, found
    text = subprocess.run([DNM, "run", str(plant.list), "--print-map"], capture_output=True,
                          text=True, check=True).stdout
    lines = re.findall(r"^ +(input|holding) (\d+)-(\d+) (\w+)", text, re.M)
    assert sorted(printed) == sorted((t, int(a), int(b), n) for t, a, b, n in lines)
    fields = {f["name"]: f["offset"] for f in document["status_block"]["fields"]}
    assert fields == {n: int(o) for o, n in re.findall(r"^#   \+(\d+) (\w+)$", text, re.M)}

    def named(mac):
        status = read(client, base(mac) + STATUS, STATUS_REGISTERS)
        return {name: status[offset - STATUS] for name, offset in fields.items()}

    strobed = named(7)
    assert (strobed["run"], strobed["strobe_status"], strobed["poll_status"]) == (1, 0, 0xFFFF)
    wait_until("the identity mismatch", lambda: named(MISMATCHED)["run"] == 2)


def read_request(address, count, transaction=1):
    """A read input registers request, as bytes on the wire."""
    return struct.pack(">HHHBBHH", transaction, 0, 6, 1, 4, address, count)


def closed_by_server(connection, timeout=30):
    readable, _, _ = select.select([connection], [], [], timeout)
    try:
        return bool(readable) and connection.recv(1) == b""
    except ConnectionResetError:
        return True


def test_eight_clients_are_served_beside_a_silent_a_partial_and_a_slow_one(plant):
    address = ("127.0.0.1", plant.port)
    silent = socket.create_connection(address)
    partial = socket.create_connection(address)
    partial.sendall(read_request(base(3) + STATUS, STATUS_REGISTERS)[:5])
    slow = socket.create_connection(address)
    flooding = threading.Thread(target=flood, args=(slow,))
    flooding.start()

    answers = []

    def serve_one():
        client = ModbusTcpClient("127.0.0.1", port=plant.port, timeout=10, retries=0)
        assert client.connect()
        for _ in range(20):
            answers.append(read(client, base(3) + STATUS, STATUS_REGISTERS))
        client.close()

    clients = [threading.Thread(target=serve_one) for _ in range(8)]
    start = time.monotonic()
    for client in clients:
        client.start()
    for client in clients:
        client.join()
    took = time.monotonic() - start
    assert len(answers) == 160 and all(len(a) == STATUS_REGISTERS for a in answers)
    assert took < 20, f"8 clients took {took:.1f} s for 20 reads each"
    assert closed_by_server(partial), "a partial request is cut"
    flooding.join(timeout=60)
    assert not flooding.is_alive(), "a client that takes no answers is cut"
    for connection in (silent, partial, slow):
        connection.close()


def test_requests_are_framed_by_the_length_in_their_header(plant):
    """Two requests in one segment are both answered; a length that no request can have (none,
    or more than the largest request) closes the client."""
    address = ("127.0.0.1", plant.port)
    answer_length = 11  # header, function, byte count, one register
    with socket.create_connection(address) as connection:
        connection.sendall(read_request(base(3) + STATUS, 1, 1) +
                           read_request(base(3) + STATUS, 1, 2))
        answers = b""
        while len(answers) < 2 * answer_length:
            chunk = connection.recv(2 * answer_length - len(answers))
            assert chunk, "closed before both answers"
            answers += chunk
        assert answers[0:2] == struct.pack(">H", 1)
        assert answers[answer_length:answer_length + 2] == struct.pack(">H", 2)
    for length in (0, 255):
        with socket.create_connection(address) as connection:
            connection.sendall(struct.pack(">HHHBBHH", 1, 0, length, 1, 4, base(3) + STATUS, 1))
            assert closed_by_server(connection, timeout=10), f"length {length}"


def received(connection, count):
    data = b""
    while len(data) < count:
        chunk = connection.recv(count - len(data))
        assert chunk, "closed"
        data += chunk
    return data


def first_answer(connection):
    """The transaction, function byte and first data byte of the next answer."""
    head = received(connection, 7)
    body = received(connection, struct.unpack(">H", head[4:6])[0] - 1)
    return struct.unpack(">H", head[0:2])[0], body[0], body[1]


def frame(pdu, transaction=7, protocol=0):
    return struct.pack(">HHHB", transaction, protocol, len(pdu) + 1, 1) + pdu


POLL_OUTPUTS = base(3)
# Each request's length must be its function's exactly; one that is not Modbus, or whose function
# byte has the exception flag, gets no answer (the next request's comes first).
MALFORMED = {
    "write multiple with 2 bytes beyond its byte count":
        (frame(struct.pack(">BHHBH", 0x10, POLL_OUTPUTS, 1, 2, 0x0BAD) + b"\x00\x00"), 3),
    "write multiple shorter than its byte count":
        (frame(struct.pack(">BHHBB", 0x10, POLL_OUTPUTS, 1, 2, 0x0B)), 3),
    "write single with a byte more": (frame(struct.pack(">BHHB", 6, POLL_OUTPUTS, 0x0BAD, 0)), 3),
    "read with a byte more": (frame(struct.pack(">BHHB", 4, base(3) + STATUS, 1, 0)), 3),
    "read with a byte less": (frame(struct.pack(">BHB", 3, POLL_OUTPUTS, 0)), 3),
    "read coils with a byte more": (frame(struct.pack(">BHHB", 1, 0, 1, 0)), 3),
    "protocol identifier 1":
        (frame(struct.pack(">BHH", 4, base(3) + STATUS, 1), protocol=1), None),
    "function 0x80": (frame(struct.pack(">BHH", 0x80, base(3) + STATUS, 1)), None),
    "function 0x84": (frame(struct.pack(">BHH", 0x84, base(3) + STATUS, 1)), None),
}


def test_a_request_whose_length_or_header_is_not_its_functions_is_refused(plant, client):
    assert not client.write_register(POLL_OUTPUTS, 0x1234).isError()
    for what, (request, exception) in MALFORMED.items():
        with socket.create_connection(("127.0.0.1", plant.port)) as connection:
            connection.sendall(request + read_request(base(3) + STATUS, 1, transaction=8))
            transaction, function, code = first_answer(connection)
            if exception is None:
                assert transaction == 8, f"{what}: answered"
            else:
                assert (transaction, function, code) == (7, request[7] | 0x80, exception), what
    assert read(client, POLL_OUTPUTS, 1, "holding") == [0x1234], "a malformed write was written"


def flood(connection):
    """Sends requests and takes no answer, until the server gives up on it."""
    requests = b"".join(read_request(base(3) + STATUS, STATUS_REGISTERS, n) for n in range(1000))
    try:
        while True:
            connection.sendall(requests)
    except OSError:
        pass


def test_a_new_client_takes_the_slot_of_the_longest_silent_one(plant):
    address = ("127.0.0.1", plant.port)
    silent = [socket.create_connection(address) for _ in range(16)]
    # Every slot holds a client that connected less than a second ago.
    turned_away = socket.create_connection(address)
    assert closed_by_server(turned_away)
    # The server's bound: a client silent for a second gives its slot to a new one.
    time.sleep(1.2)
    client = ModbusTcpClient("127.0.0.1", port=plant.port, timeout=10, retries=0)
    assert client.connect()
    assert len(read(client, base(3) + STATUS, STATUS_REGISTERS)) == STATUS_REGISTERS
    assert closed_by_server(silent[0], timeout=10)
    client.close()
    for connection in silent + [turned_away]:
        connection.close()


def test_a_reload_leaves_the_devices_that_stay_where_they_were(plant, client):
    cos_outputs = base(9) + 36
    assert not client.write_register(cos_outputs, 0x4242).isError()
    plant.list.write_text(SCAN_LIST.replace("  device 3\n    poll in=3 out=3\n", ""))
    plant.process.send_signal(signal.SIGHUP)
    wait_until("MAC ID 3 out of the map", lambda: read(client, base(3) + STATUS) == 2)
    assert read(client, base(9) + STATUS) == [0] and read(client, base(7) + STATUS) == [0]
    assert read(client, cos_outputs, 1, "holding") == [0x4242]
    wait_until("the echo", lambda: read(client, cos_outputs) == [0x4242])
    # A port that cannot go online (its MAC ID taken) keeps its devices in the map, told so.
    plant.list.write_text(SCAN_LIST.replace("  device 3\n    poll in=3 out=3\n", "")
                          .replace("mac=0", "mac=3"))
    plant.process.send_signal(signal.SIGHUP)
    wait_until("MAC ID 9's port told offline", lambda: read(client, base(9) + STATUS + 5) == [5])
    assert read(client, base(7) + STATUS + 5) == [5] and read(client, base(9) + 36) == 4
