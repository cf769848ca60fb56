"""What the tests of dnm run's servers share: a free TCP port, and a wait for a state."""
import socket
import time


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_until(what, condition, timeout=60):
    """Waits for condition() to give a true value, looking every 50 ms; the timeout leaves room
    for a starved machine."""
    start = time.monotonic()
    while True:
        value = condition()
        if value:
            took = time.monotonic() - start
            if took > timeout / 4:
                print(f"waited {took:.1f} s for {what}: the machine was starved")
            return value
        assert time.monotonic() - start < timeout, f"no {what} within {timeout} s"
        time.sleep(0.05)
