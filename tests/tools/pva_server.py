"""vorn-pva in a subprocess, confined to loopback on ports chosen at run time, and a p4p client
context that reaches it and nothing else."""

import contextlib
import os
import pathlib
import queue
import signal
import socket
import subprocess
import sys
import threading
import time
from collections.abc import Iterator

import pyvorn_device
from p4p.client.thread import Context

BUILD_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent
TOOLS_DIR = pathlib.Path(__file__).resolve().parents[2] / "tools"


def free_port(kind: int) -> int:
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


def loopback_env() -> dict[str, str]:
    """EPICS settings for a server and its clients that keep every packet on loopback."""
    server, broadcast = str(free_port(socket.SOCK_STREAM)), str(free_port(socket.SOCK_DGRAM))
    return {
        "EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO",
        "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_PVAS_AUTO_BEACON_ADDR_LIST": "NO", "EPICS_PVAS_BEACON_ADDR_LIST": "127.0.0.1",
        "EPICS_PVA_SERVER_PORT": server, "EPICS_PVAS_SERVER_PORT": server,
        "EPICS_PVA_BROADCAST_PORT": broadcast, "EPICS_PVAS_BROADCAST_PORT": broadcast,
    }


class PvaServer:
    def __init__(self, args: tuple[str, ...], epics: dict[str, str]) -> None:
        env = {k: v for k, v in os.environ.items() if not k.startswith("EPICS_")}
        env.update(epics, PYTHONPATH=os.pathsep.join([str(BUILD_DIR), str(TOOLS_DIR)]))
        self.epics = epics
        self.process = subprocess.Popen(
            [sys.executable, "-m", "pyvorn_device_tools.pva", *args], env=env,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.lines: queue.Queue[str] = queue.Queue()
        self.log: list[str] = []
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self) -> None:
        assert self.process.stderr is not None
        for line in self.process.stderr:
            self.lines.put(line)

    def wait_for(self, text: str, timeout: float = 30) -> str:
        deadline = time.monotonic() + timeout
        while (left := deadline - time.monotonic()) > 0:
            try:
                line = self.lines.get(timeout=left)
            except queue.Empty:
                break
            self.log.append(line)
            if text in line:
                return line
        raise AssertionError(f"no {text!r} from vorn-pva; it said: {''.join(self.log)}")

    def stop(self, signum: int = signal.SIGTERM, timeout: float = 30) -> str:
        """Signals the server and returns everything it printed; it must exit 0 in time."""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        try:
            status = self.process.wait(timeout)
        finally:
            self.process.kill()
            self.process.wait()
        self.reader.join(10)
        assert self.process.stderr is not None
        self.process.stderr.close()
        self.wait_for("vorn-pva: stopped", 5)
        assert status == 0, "".join(self.log)
        return "".join(self.log)


@contextlib.contextmanager
def pva_server(*args: str, stop_signal: int = signal.SIGTERM) -> Iterator[tuple[Context, PvaServer]]:
    """Starts vorn-pva with `args`, yields a client context and the server once it serves, and
    checks that it stops cleanly on `stop_signal`."""
    server = PvaServer(args, loopback_env())
    try:
        server.wait_for("vorn-pva: serving")
        conf = {k: v for k, v in server.epics.items() if k.startswith("EPICS_PVA_")}
        client = Context("pva", conf=conf, useenv=False)
        try:
            yield client, server
        finally:
            client.close()
    finally:
        server.stop(stop_signal)
