"""dnm run --modbus as a process of its own on a simulated network, read and written with pymodbus's
ModbusTcpClient."""
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from pymodbus.client import ModbusTcpClient

sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
from waiting import free_port, wait_until  # noqa: E402  (the tests import wait_until from here)

DNM = os.environ.get("DNM_TOOL", "dnm")
STATUS = 68  # the status block, from a device's base
DEVICE_STATUS = STATUS
STATUS_REGISTERS = 37


def base(mac, port_index=0):
    return port_index * 8192 + mac * 128


class Scanner:
    """dnm run LIST --network NET --modbus 127.0.0.1:PORT, ended by stop()."""

    def __init__(self, directory, network, scan_list):
        self.network = directory / "network.txt"
        self.network.write_text(network)
        self.list = directory / "scanlist.txt"
        self.list.write_text(scan_list)
        self.port = free_port()
        self.log = open(directory / "dnm-run.log", "w")
        self.process = subprocess.Popen(
            [DNM, "run", str(self.list), "--network", str(self.network),
             "--modbus", f"127.0.0.1:{self.port}"],
            stdout=self.log, stderr=subprocess.STDOUT)

    def client(self):
        client = ModbusTcpClient("127.0.0.1", port=self.port, timeout=10, retries=0)

        def listening():
            assert self.process.poll() is None, f"dnm run ended: {self.said()}"
            return client.connect()

        wait_until("the Modbus TCP server", listening)
        return client

    def register_map(self):
        done = subprocess.run([DNM, "run", str(self.list), "--print-map", "--json"],
                              capture_output=True, text=True, check=True)
        return json.loads(done.stdout)

    def said(self):
        self.log.flush()
        return open(self.log.name).read()

    def stop(self):
        """SIGTERM, with clients served meanwhile: it ends by itself, with status 0."""
        self.process.terminate()
        try:
            status = self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
        said = self.said()
        self.log.close()
        assert status == 0, f"dnm run ended with {status} after SIGTERM: {said}"


def read(client, address, count=1, table="input"):
    """The registers, or the exception code of the answer."""
    call = client.read_input_registers if table == "input" else client.read_holding_registers
    answer = call(address, count)
    return answer.exception_code if answer.isError() else answer.registers


def wait_connected(client, macs):
    for mac in macs:
        wait_until(f"MAC ID {mac} connected",
                   lambda mac=mac: read(client, base(mac) + DEVICE_STATUS) == [0])


@pytest.fixture(scope="module")
def scanner_on(tmp_path_factory):
    """scanner_on(network, scan_list): a running scanner, stopped when the module's tests end."""
    started = []

    def start(network, scan_list):
        started.append(Scanner(tmp_path_factory.mktemp("modbus"), network, scan_list))
        return started[-1]

    yield start
    for scanner in started:
        scanner.stop()
