"""What the Python tests of dnm run's servers share: a free port, a patient wait, and dnm run as a
process of its own."""
import socket
import subprocess
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


class RunProcess:
    """dnm run with the arguments, its stdout and stderr in the log file, ended by stop()."""

    def __init__(self, command, log_path):
        self.log = open(log_path, "w")
        self.process = subprocess.Popen(command, stdout=self.log, stderr=subprocess.STDOUT)

    def said(self):
        self.log.flush()
        return open(self.log.name).read()

    def stop(self):
        """SIGTERM, with its servers' clients served meanwhile: it ends by itself, with status 0
        (unless it has ended already)."""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                status = self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                status = self.process.wait()
            assert status == 0, f"dnm run ended with {status} after SIGTERM: {self.said()}"
        self.log.close()
