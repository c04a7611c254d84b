"""A child made by fork() that drops what it inherited: it neither ends the parent's streams nor
waits for threads only the parent has. Each case runs in a fresh interpreter, several times."""

import os

from conftest import run_python

FORK_CHILD = """
def fork_child(body):
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            body()
            code = 0
        finally:
            os._exit(code)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return "hung"
"""


def test_a_child_deleting_an_inherited_linux_device_leaves_the_parents_stream_running(tmp_path):
    fifo = tmp_path / "stream"
    result = run_python(f"""
import gc, os, threading, time, warnings
import pyvorn_device
from linux_plugin_helpers import LINUX_PLUGIN
warnings.simplefilter("ignore", DeprecationWarning)  # fork() in a threaded process
{FORK_CHILD}
os.mkfifo({str(fifo)!r})
writer = os.open({str(fifo)!r}, os.O_RDWR)  # keeps the FIFO open for the reader
for attempt in range(5):
    device = pyvorn_device.get_device_manager(LINUX_PLUGIN).create_device("stream={fifo}")
    received, texts = [], []
    stream = device.start_read_stream(0, lambda p, t: received.append(bytes(p)) if p is not None
                                      else texts.append(t))
    def child():
        global device
        del device
        gc.collect()
    assert fork_child(child) == 0
    os.write(writer, b"after")
    deadline = time.monotonic() + 5
    while b"".join(received) != b"after" and time.monotonic() < deadline:
        time.sleep(0.01)
    assert b"".join(received) == b"after" and texts == [], (attempt, received, texts)
    stream.stop()
print("DONE")
""", timeout=120)
    assert result.returncode == 0 and "DONE" in result.stdout, result.stdout + result.stderr


def test_a_child_holding_a_remote_device_exits_promptly():
    result = run_python(f"""
import os, sys, time, warnings
import pyvorn_device
from remote_server import REMOTE_PLUGIN, Server
warnings.simplefilter("ignore", DeprecationWarning)
{FORK_CHILD}
with Server() as server:
    manager = pyvorn_device.get_device_manager(REMOTE_PLUGIN)
    device = manager.create_device("endpoint=" + server.endpoint)
    def child():
        global device, manager
        del device, manager
    outcomes = [fork_child(child) for _ in range(5)]
    assert outcomes == [0] * 5, outcomes
    assert device.get_register_sync(0) is not None  # the parent's device still works
print("DONE")
""", timeout=120)
    assert result.returncode == 0 and "DONE" in result.stdout, result.stdout + result.stderr
