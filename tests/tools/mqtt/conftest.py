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


class StandInBroker:
    """A proxy on a free port in front of the real broker, passing on a CONNECT of the protocol
    levels given, and everything after it both ways. A CONNECT of another level is answered with
    CONNACK return code 1 (unacceptable protocol version) and closed: levels (4,) make a broker
    that speaks only MQTT 3.1.1, as older releases do, and () one that speaks none. With
    malformed_first, the first CONNECT passed on is answered with a packet of the reserved type 0
    instead, as a broken broker or a middlebox might."""

    def __init__(self, behind, levels=(4,), malformed_first=False):
        self.behind = behind
        self.accepted_levels = levels
        self.malformed_next = malformed_first
        self.server = socket.create_server(("127.0.0.1", 0))
        self.port = self.server.getsockname()[1]
        self.url = f"mqtt://127.0.0.1:{self.port}"
        self.levels = []  # the protocol level of every CONNECT, in order
        self.sockets = []
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client, _ = self.server.accept()
            except OSError:
                return  # stopped
            self.sockets.append(client)
            threading.Thread(target=self.serve, args=(client,), daemon=True).start()

    def serve(self, client):
        header, body = self.read_packet(client)
        # The protocol name "MQTT" with its length, then the level.
        level = body[6] if len(body) > 6 else None
        self.levels.append(level)
        if level not in self.accepted_levels:
            client.sendall(bytes([0x20, 0x02, 0x00, 0x01]))
            client.close()
            return
        if self.malformed_next:
            self.malformed_next = False
            client.sendall(bytes([0x00, 0x00]))
            return
        broker = socket.create_connection(("127.0.0.1", self.behind.port))
        self.sockets.append(broker)
        broker.sendall(header + body)
        threading.Thread(target=self.pipe, args=(broker, client), daemon=True).start()
        self.pipe(client, broker)

    @staticmethod
    def read_packet(client):
        """One packet's fixed header and the rest; short where the connection ended first."""
        header = b""
        while len(header) < 2 or header[-1] & 0x80 and len(header) < 5:
            got = client.recv(1)
            if not got:
                return header, b""
            header += got
        size = sum((byte & 0x7F) << (7 * index) for index, byte in enumerate(header[1:]))
        body = b""
        while len(body) < size:
            got = client.recv(size - len(body))
            if not got:
                break
            body += got
        return header, body

    @staticmethod
    def pipe(source, sink):
        try:
            while data := source.recv(4096):
                sink.sendall(data)
        except OSError:
            pass
        for end in (source, sink):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def stop(self):
        for each in [self.server] + self.sockets:
            try:
                each.shutdown(socket.SHUT_RDWR)  # wakes the threads waiting on them
            except OSError:
                pass
        self.server.close()
        for each in self.sockets:
            each.close()


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
    """A broker, and start(network, scan_list, *options) for a scanner publishing to it, or to
    stand_in(...) in front of it; every process is ended when the test ends."""
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

    proxies = []

    def stand_in(**misbehaviour):
        proxies.append(StandInBroker(broker, **misbehaviour))
        return proxies[-1]

    start.broker = broker
    start.subscribe = subscribe
    start.another_broker = another_broker
    start.stand_in = stand_in
    yield start
    for subscriber in subscribers:
        subscriber.stop()
    for scanner in started:
        scanner.stop()
    for proxy in proxies:
        proxy.stop()
    for each in [broker] + brokers:
        if each.process.poll() is None:
            each.stop()
