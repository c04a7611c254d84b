"""A Python Device called by a plug-in from a thread of the plug-in's own: the trampoline takes
the interpreter lock on that thread, runs the overrides there, and hands results and errors back
to the plug-in. The thread_caller plug-in runs set_register_sync(1, 2, 3), get_register_sync(5),
trigger(7, -1) and get_status() on the device whose address it is given, from a new thread inside
create_device, and reports the results through get_info()."""

import json
import re

from conftest import run_python, test_plugin

PURE_MESSAGE = 'error:Tried to call pure virtual function "Device::{}"'

# Runs in a fresh interpreter: a lock mistake on the foreign thread hangs or crashes it.
PRELUDE = f"""
import json, re, threading
import pyvorn_device
from pyvorn_device import Device, ReturnCode

MAIN = threading.get_ident()

class Recording(Device):
    def __init__(self, send=ReturnCode.Success, fetch=ReturnCode.Success):
        super().__init__()
        self.calls = []
        self.send, self.fetch = send, fetch

    def note(self, name, *args):
        self.calls.append([name, list(args), threading.get_ident()])

    def set_register(self, addr, value, mask):
        self.note("set_register", addr, value, mask)
        return ReturnCode.Failure  # set_register_sync reports send_registers' status only

    def send_registers(self):
        self.note("send_registers")
        return self.send

    def read_registers(self):
        self.note("read_registers")
        return self.fetch

    def get_register(self, addr):
        self.note("get_register", addr)
        return 42

    def trigger(self, addr, value):
        self.note("trigger", addr, value)
        return ReturnCode.Success

    def get_status(self):
        self.note("get_status")
        return "hello"

def call_from_plugin_thread(target):
    address = re.fullmatch(r"<pyvorn_device.Device at (0x[0-9a-f]+)>", repr(target)).group(1)
    manager = pyvorn_device.get_device_manager({str(test_plugin("thread_caller"))!r})
    # `target` stays referenced here while the plug-in uses its address.
    return manager.create_device("target=" + address).get_info()

def report(target):
    info = call_from_plugin_thread(target)
    print(json.dumps({{"info": info, "calls": getattr(target, "calls", []), "main": MAIN}}))
"""


def run_scenario(body: str) -> dict:
    result = run_python(PRELUDE + body, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.strip().splitlines()[-1])


def test_overrides_run_on_the_plugin_thread_with_the_arguments_and_results():
    outcome = run_scenario("report(Recording())")
    assert outcome["info"] == (
        "set_register_sync=0 get_register_sync=42 trigger=0 get_status=hello")
    calls = outcome["calls"]
    assert [[name, args] for name, args, _ in calls] == [
        ["set_register", [1, 2, 3]],
        ["send_registers", []],
        ["read_registers", []],
        ["get_register", [5]],
        ["trigger", [7, -1]],
        ["get_status", []],
    ]
    threads = {thread for _, _, thread in calls}
    assert len(threads) == 1, "the calls ran on more than one thread"
    assert threads != {outcome["main"]}, "the calls ran on the main thread"


def test_failed_send_and_fetch_reach_the_plugin():
    outcome = run_scenario(
        "report(Recording(send=ReturnCode.Failure, fetch=ReturnCode.Failure))")
    assert outcome["info"] == (
        "set_register_sync=1 get_register_sync=none trigger=0 get_status=hello")
    names = [name for name, _, _ in outcome["calls"]]
    assert "get_register" not in names, "get_register called after a failed fetch"


def test_python_exception_on_the_plugin_thread_reaches_the_plugin_as_an_error():
    outcome = run_scenario("""
class Raising(Recording):
    def trigger(self, addr, value):
        raise ValueError(f"no trigger at {addr}")

report(Raising())
""")
    # The error text is the Python error's rendering (type, message, then a traceback).
    assert re.fullmatch(
        r"set_register_sync=0 get_register_sync=42 "
        r"trigger=error:ValueError: no trigger at 7\b.* get_status=hello",
        outcome["info"], re.DOTALL), outcome["info"]


def test_missing_overrides_raise_the_pure_virtual_message_on_the_plugin_thread():
    outcome = run_scenario("""
class Bare(Device):
    pass

report(Bare())
""")
    assert outcome["info"] == " ".join([
        "set_register_sync=" + PURE_MESSAGE.format("set_register"),
        "get_register_sync=" + PURE_MESSAGE.format("read_registers"),
        "trigger=" + PURE_MESSAGE.format("trigger"),
        "get_status=none",
    ])
