"""vorn-serve for the remote tests: started on a loopback port the kernel picks at run time,
logging to a file, always stopped. Importable from subprocess scripts too (run_python puts this
directory on the path)."""

import os
import pathlib
import re
import signal
import struct
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


def session_of(device) -> int:
    """The server's number of a remote device, from its info text."""
    return int(re.search(r"remote device (\d+)", device.get_info()).group(1))


def rss_bytes(pid: int) -> int:
    fields = pathlib.Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"VmRSS:\s+(\d+) kB", fields).group(1)) * 1024


class RawClient:
    """A ZeroMQ DEALER speaking the wire format directly, as a hostile client would."""

    HEADER = struct.Struct("<BBBBIQQIIIIQ")
    OPS = {name: number for number, name in enumerate(
        "create_device destroy_device ping set_register send_registers set_register_sync "
        "get_register read_registers get_register_sync trigger write read get_status get_info "
        "server_status stream_start stream_stop stream_chunk stream_text stream_end refused "
        "attach list_devices".split(), start=1)}

    def __init__(self, endpoint, server_public=None, secret=None, public=None, rcvhwm=1000):
        import zmq
        self.socket = zmq.Context.instance().socket(zmq.DEALER)
        self.socket.setsockopt(zmq.LINGER, 0)
        self.socket.setsockopt(zmq.RCVHWM, rcvhwm)
        self.socket.setsockopt(zmq.RCVBUF, 64 << 10)
        self.socket.setsockopt(zmq.RCVTIMEO, 5000)
        if server_public:
            self.socket.curve_serverkey = server_public.encode()
            self.socket.curve_publickey = public.encode()
            self.socket.curve_secretkey = secret.encode()
        self.socket.connect(endpoint)
        self.seq = 0

    def send(self, op, session=0, stream=0, addr=0, value=0, mask=0, length=0, text="",
             payload=None):
        self.seq += 1
        header = self.HEADER.pack(ord("V"), 1, self.OPS[op], 0, self.seq, session, stream, addr,
                                  value, mask, 0, length) + text.encode()
        self.socket.send_multipart([header] + ([payload] if payload is not None else []))

    def receive(self):
        """(fields, text, payload frames) of the next message; raises zmq.Again after 5 s."""
        frames = self.socket.recv_multipart()
        names = ("magic", "version", "op", "status", "seq", "session", "stream", "addr", "value",
                 "mask", "reserved", "length")
        fields = dict(zip(names, self.HEADER.unpack_from(frames[0])))
        return fields, frames[0][self.HEADER.size:].decode(errors="replace"), frames[1:]

    def request(self, op, **fields):
        self.send(op, **fields)
        while True:
            reply = self.receive()
            if reply[0]["seq"] == self.seq or reply[0]["op"] == self.OPS["refused"]:
                return reply

    def close(self):
        self.socket.close()


def read_key(path) -> str:
    return [line for line in pathlib.Path(path).read_text().splitlines()
            if line and not line.startswith("#")][0]


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
