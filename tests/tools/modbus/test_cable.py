"""A cable pulled and put back shows in the status registers; meanwhile the device's data is
answered with exception 4."""
from conftest import STATUS, STATUS_REGISTERS, base, read, wait_connected, wait_until

# The slave falls silent 8 s after the network is made and speaks again 12 s later.
NETWORK = """segment bus
port 0/1 segment=bus
slave segment=bus mac=3 produced=2 consumed=2 inputs=echo silent_from=8000 back_at=20000
"""
SCAN_LIST = """port 0/0 mac=0 baud=500
  device 3
    poll in=2 out=2
"""
EXPLICIT_FAILURE, LOST = 6, 5  # the register in the status block, the cause
POLL_NO_RESPONSE = 11 + 2 * 10  # the counter's high word, in the status block


def test_a_cable_pulled_and_restored_shows_in_the_status_registers(scanner_on):
    scanner = scanner_on(NETWORK, SCAN_LIST)
    client = scanner.client()
    wait_connected(client, [3])
    status = base(3) + STATUS

    def lost():
        block = read(client, status, STATUS_REGISTERS)
        return block if block[0] != 0 else None

    down = wait_until("the connection lost", lost)
    assert down[EXPLICIT_FAILURE] == LOST, down
    assert read(client, base(3)) == 4
    wait_until("the connection back", lambda: read(client, status) == [0])
    block = read(client, status, STATUS_REGISTERS)
    assert block[POLL_NO_RESPONSE] << 16 | block[POLL_NO_RESPONSE + 1] > 0, block
    # The client stays connected: the scanner stops with it (conftest's stop).
