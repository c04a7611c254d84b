"""Callbacks that raise: on every call (data, injected error texts and the end call, with
ValueError, an exception whose str() itself raises, SystemExit and KeyboardInterrupt in turn), or
only on the end call, for both kinds of stream. The streams run in a child interpreter whose
standard error (sent into its standard output, to keep the order) carries the module's log; the
process must survive, finish a healthy stream afterwards and exit normally, and each raise must be
logged in the scenario that raised it: as one "Error in callback:" record, or counted in a
"N more errors in callback suppressed" line (a stream logs at most a few records a second)."""

import re

from stress_common import report, run_child

CHILD = r'''
import os, sys, threading
os.dup2(1, 2)  # the log, in order with the scenario markers
import pyvorn_device

manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])

class UnprintableError(Exception):
    def __str__(self):
        raise RuntimeError("str() refused")

def raise_for(call):
    kind = call % 4
    if kind == 0:
        raise ValueError(f"boom {call}")
    if kind == 1:
        raise UnprintableError()
    if kind == 2:
        raise SystemExit(call)
    raise KeyboardInterrupt()

class Raising:
    def __init__(self, every_call):
        self.every_call = every_call
        self.calls = 0
        self.raises = 0
        self.ended = threading.Event()

    def __call__(self, payload, text):
        call = self.calls
        self.calls += 1
        if payload is None and text is None:
            self.ended.set()
            if not self.every_call:
                self.raises += 1
                raise ValueError("boom at the end")
        if self.every_call:
            self.raises += 1
            raise_for(call)

def scenario(name, every_call, aligned, options, chunk_size):
    device = manager.create_device(options)
    callback = Raising(every_call)
    if aligned:
        stream = device.start_aligned_read_stream(0, 8, callback, chunk_size=chunk_size)
    else:
        stream = device.start_read_stream(0, callback, chunk_size=chunk_size)
    assert callback.ended.wait(60), f"{name}: no end call"
    stream.stop()  # waits for the delivery thread, and with it for the last log record
    print(f"@@ {name} calls={callback.calls} raises={callback.raises}", flush=True)

scenario("every_plain", True, False, "stream_bytes=19400,stream_error_every=7", 97)
scenario("every_aligned", True, True,
         "stream_bytes=19400,stream_error_every=7,stream_chunks=lent", 97)
scenario("end_only_plain", False, False, "stream_bytes=19400,stream_error_every=7", 97)
scenario("end_only_aligned", False, True, "stream_bytes=19403,stream_chunks=lent", 97)

# The process still works: a healthy stream delivers everything.
device = manager.create_device("stream_bytes=100000")
received, done = [], threading.Event()
def healthy(payload, text):
    if payload is None and text is None:
        done.set()
    elif payload is not None:
        received.append(len(memoryview(payload)))
stream = device.start_read_stream(0, healthy)
assert done.wait(60), "healthy stream: no end call"
stream.stop()
assert sum(received) == 100000, sum(received)
print(f"@@ healthy calls={len(received) + 1} raises=0", flush=True)
'''

LOG_RECORD = "Error in callback:"
SUPPRESSED = re.compile(r"(\d+) more errors in callback suppressed")
MARKER = re.compile(r"^@@ (\w+) calls=(\d+) raises=(\d+)$")


def main():
    result = run_child(CHILD, timeout=120)
    output = result.stdout + result.stderr
    assert result.returncode == 0, f"child exited with {result.returncode}:\n{output[-3000:]}"
    for word in ("Fatal", "terminate", "Segmentation"):
        assert word not in output, f"'{word}' in the child's output:\n{output[-3000:]}"

    figures = {}
    records = value_errors = suppressed = 0
    scenarios = []
    for line in result.stdout.splitlines():
        counted = SUPPRESSED.search(line)
        if counted:
            suppressed += int(counted.group(1))
            continue
        if LOG_RECORD in line:
            records += 1
            value_errors += f"{LOG_RECORD} ValueError: boom" in line
            continue
        marker = MARKER.match(line)
        if not marker:
            continue
        name, calls, raises = marker.group(1), int(marker.group(2)), int(marker.group(3))
        scenarios.append(name)
        assert records + suppressed == raises, (
            f"{name}: {raises} raises but {records} log records and {suppressed} suppressed")
        # Calls 0, 4, 8, ... raised ValueError with the call number in its message.
        expected_value_errors = (raises + 3) // 4 if name.startswith("every") else raises
        assert value_errors <= expected_value_errors and (suppressed or value_errors ==
                                                          expected_value_errors), (
            f"{name}: {value_errors} ValueError records, expected {expected_value_errors}")
        if name.startswith("end_only"):
            assert raises == 1, f"{name}: {raises} raises"
        elif name.startswith("every"):
            assert raises == calls, f"{name}: {calls} calls but {raises} raises"
        figures[f"{name}_raises"] = raises
        records = value_errors = suppressed = 0
    assert scenarios == ["every_plain", "every_aligned", "end_only_plain", "end_only_aligned",
                         "healthy"], f"scenarios completed: {scenarios}\n{output[-3000:]}"
    # every_plain: 200 chunks, 28 injected texts and the end call.
    assert figures["every_plain_raises"] == 200 + 200 // 7 + 1, figures
    report(**figures)


if __name__ == "__main__":
    main()
