"""dnm run --http as a process of its own on a simulated network, for the web view's tests."""
import json
import os
import signal
import socket
import sys
import urllib.error
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from server_support import RunProcess, free_port, wait_until  # noqa: E402,F401  (the tests import wait_until here)

DNM = os.environ.get("DNM_TOOL", "dnm")


class WebScanner(RunProcess):
    """dnm run LIST --network NET --http 127.0.0.1:PORT [options], ended by stop()."""

    def __init__(self, directory, network, scan_list, *options):
        self.directory = directory
        # Bytes that are not UTF-8 as surrogates, as Python reads them.
        (directory / "network.txt").write_text(network, errors="surrogateescape")
        self.list = directory / "scanlist.txt"
        self.list.write_text(scan_list)
        self.port = free_port()
        self.origin = f"http://127.0.0.1:{self.port}"
        super().__init__([DNM, "run", str(self.list), "--network", str(directory / "network.txt"),
                          "--http", f"127.0.0.1:{self.port}", *options], directory / "dnm-run.log")
        wait_until("the web view", self.listening)

    def listening(self):
        assert self.process.poll() is None, f"dnm run ended: {self.said()}"
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def request(self, path, method="GET", body=None, headers=None):
        """(status, JSON answer or the text of another type)."""
        request = urllib.request.Request(self.origin + path, method=method, data=body,
                                         headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=30) as answer:
                status, kind, text = answer.status, answer.headers["Content-Type"], answer.read()
        except urllib.error.HTTPError as error:
            status, kind, text = error.code, error.headers["Content-Type"], error.read()
        return status, json.loads(text) if kind == "application/json" else text.decode()

    def get(self, path):
        status, answer = self.request(path)
        assert status == 200, (path, status, answer)
        return answer

    def post(self, path, document, headers=None):
        body = document if isinstance(document, bytes) else json.dumps(document).encode()
        return self.request(path, "POST", body,
                            {"Content-Type": "application/json", **(headers or {})})

    def device(self, mac):
        return self.get(f"/api/devices/{mac}")

    def wait_connected(self, macs):
        for mac in macs:
            wait_until(f"MAC ID {mac} connected",
                       lambda mac=mac: self.device(mac)["state"] == "connected")

    def reload(self, scan_list):
        self.list.write_text(scan_list)
        self.process.send_signal(signal.SIGHUP)
