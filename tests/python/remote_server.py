"""vorn-serve for the remote tests: started on a loopback port the kernel picks at run time,
logging to a file, always stopped. Importable from subprocess scripts too (run_python puts this
directory on the path)."""

import os
import pathlib
import re
import signal
import subprocess
import tempfile
import threading
import time

import pyvorn_device

BUILD_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent
SERVER = BUILD_DIR / "vorn-serve"
PLUGINS = BUILD_DIR / "pyvorn_device_plugins"
SIM_PLUGIN = PLUGINS / "libvorn_sim.so"
REMOTE_PLUGIN = PLUGINS / "libvorn_remote.so"
PATTERN_PERIOD = 251

SERVING = re.compile(r"serving \S+ on (\S+)")


class Server:
    """One vorn-serve process. `bind` defaults to a free loopback port."""

    def __init__(self, *args, bind="tcp://127.0.0.1:*", plugin=SIM_PLUGIN, timeout=10):
        self.log_file = tempfile.NamedTemporaryFile("w+", prefix="vorn-serve-", suffix=".log")
        self.process = subprocess.Popen([str(SERVER), str(plugin), "--bind", bind, *args],
                                        stdout=self.log_file, stderr=subprocess.STDOUT)
        deadline = time.monotonic() + timeout
        while not (found := SERVING.search(self.log())):
            if self.process.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"vorn-serve did not start:\n{self.log()}")
            time.sleep(0.02)
        self.endpoint = found.group(1)

    def log(self) -> str:
        return pathlib.Path(self.log_file.name).read_text()

    def kill(self) -> None:
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(10)

    def stop(self) -> int:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.kill()
        return self.process.returncode

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()
        self.log_file.close()


def remote_manager():
    return pyvorn_device.get_device_manager(REMOTE_PLUGIN)


class PatternChecker:
    """An aligned-stream callback checking every byte against byte[i] = i % 251 from offset 0;
    any text (a drop, a device error) is recorded and fails the check."""

    def __init__(self):
        self.pattern = bytes(range(PATTERN_PERIOD)) * ((1 << 21) // PATTERN_PERIOD + 2)
        self.offset = 0
        self.bad = 0
        self.texts = []
        self.ended = False
        self.done = threading.Event()

    def __call__(self, view, text):
        if view is None and text is None:
            self.ended = True
            self.done.set()
            return
        if view is None:
            self.texts.append(text)
            return
        data = memoryview(view)
        phase = self.offset % PATTERN_PERIOD
        for start in range(0, data.nbytes, 1 << 20):
            piece = data[start:start + (1 << 20)]
            p = (phase + start) % PATTERN_PERIOD
            if piece != self.pattern[p:p + piece.nbytes]:
                self.bad += 1
        self.offset += data.nbytes


def free_port() -> int:
    """A loopback port nobody listens on (for an unreachable endpoint)."""
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=10.0, interval=0.05):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
