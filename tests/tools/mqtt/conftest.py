"""dnm run --mqtt as a process of its own on a simulated network, publishing to the distribution's
mosquitto broker started here on a free port, heard with mosquitto_sub and written to with
mosquitto_pub."""
import getpass
import json
import os
import socket
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from server_support import RunProcess, free_port, wait_until  # noqa: E402

DNM = os.environ.get("DNM_TOOL", "dnm")


class Broker:
    """mosquitto on 127.0.0.1 at a free port, without persistence: a restart forgets every
    retained message, so what a subscriber sees after one was published again."""

    def __init__(self, directory, tls_lines=None):
        self.port = free_port()
        self.url = f"mqtts://localhost:{self.port}" if tls_lines else f"mqtt://127.0.0.1:{self.port}"
        self.config = directory / "mosquitto.conf"
        # As root, mosquitto would read the files named in its configuration as user mosquitto.
        self.config.write_text(f"listener {self.port} 127.0.0.1\npersistence false\n"
                               f"user {getpass.getuser()}\n"
                               + (tls_lines or "allow_anonymous true\n"))
        self.log = directory / "mosquitto.log"
        self.process = None
        self.start()

    def start(self):
        self.process = subprocess.Popen(["mosquitto", "-c", str(self.config)],
                                        stdout=open(self.log, "a"), stderr=subprocess.STDOUT)
        wait_until("the broker listening", lambda: self.process.poll() is None and self.reachable())

    def reachable(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


class Subscriber:
    """mosquitto_sub -v on the topics; every message kept with the time it came (time.time(), to
    compare with the UTC time stamps of the payloads)."""

    def __init__(self, broker, *topics, retained_only=False):
        command = ["stdbuf", "-oL", "mosquitto_sub", "-p", str(broker.port), "-v", "-q", "1"]
        for topic in topics:
            command += ["-t", topic]
        if retained_only:
            command.append("--retained-only")
        self.process = subprocess.Popen(command, stdout=subprocess.PIPE, text=True)
        self.messages = []  # (time, topic, payload as text)
        self.lock = threading.Lock()
        threading.Thread(target=self.read, daemon=True).start()
        time.sleep(0.3)  # subscribed before anything is asked of it

    def read(self):
        for line in self.process.stdout:
            topic, _, payload = line.rstrip("\n").partition(" ")
            with self.lock:
                self.messages.append((time.time(), topic, payload))

    def on(self, suffix, since=0):
        """The messages on topics ending with suffix, payloads as JSON where they are."""
        with self.lock:
            return [(t, topic, json.loads(p) if p.startswith("{") else p)
                    for t, topic, p in self.messages[since:] if topic.endswith(suffix)]

    def wait(self, what, suffix, match=lambda payload: True, since=0, timeout=60):
        return wait_until(what, lambda: [m for m in self.on(suffix, since) if match(m[2])],
                          timeout)[0]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=10)


def publish(broker, topic, payload, retain=False):
    subprocess.run(["mosquitto_pub", "-p", str(broker.port), "-t", topic, "-m", payload, "-q", "1"]
                   + (["-r"] if retain else []), check=True)


class Scanner(RunProcess):
    """dnm run LIST --network NET --mqtt mqtt://127.0.0.1:PORT with more options."""

    def __init__(self, directory, broker, network, scan_list, *options):
        (directory / "network.txt").write_text(network)
        (directory / "scanlist.txt").write_text(scan_list)
        super().__init__([DNM, "run", str(directory / "scanlist.txt"), "--network",
                          str(directory / "network.txt"), "--mqtt", broker.url, *options],
                         directory / f"dnm-run-{len(list(directory.glob('dnm-run-*')))}.log")

    def wait_said(self, text, times=1, timeout=60):
        def said():
            assert self.process.poll() is None, f"dnm run ended: {self.said()}"
            return self.said().count(text) >= times
        wait_until(f"'{text}' from dnm run", said, timeout)


@pytest.fixture
def mqtt(tmp_path):
    """A broker, and start(network, scan_list, *options) for a scanner publishing to it; every
    process is ended when the test ends."""
    broker = Broker(tmp_path)
    started = []

    def start(network, scan_list, *options, on=broker):
        started.append(Scanner(tmp_path, on, network, scan_list, *options))
        return started[-1]

    subscribers = []

    def subscribe(*topics, retained_only=False):
        subscribers.append(Subscriber(broker, *topics, retained_only=retained_only))
        return subscribers[-1]

    brokers = []

    def another_broker(tls_lines):
        directory = tmp_path / f"broker-{len(brokers)}"
        directory.mkdir()
        brokers.append(Broker(directory, tls_lines))
        return brokers[-1]

    start.broker = broker
    start.subscribe = subscribe
    start.another_broker = another_broker
    yield start
    for subscriber in subscribers:
        subscriber.stop()
    for scanner in started:
        scanner.stop()
    for each in [broker] + brokers:
        if each.process.poll() is None:
            each.stop()
