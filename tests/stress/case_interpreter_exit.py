"""Interpreters that end with 1, 4 or 16 streams still running (never stopped), 50 times each.
The streams differ in kind (ManagedBuffer, aligned DataView), chunk mode, pace and callback
speed; some callbacks are in the middle of a call when the interpreter ends. The ways out
differ too: falling off the end of the script, sys.exit(0), the main thread ending while another
Python thread still calls registers, and the manager object dropped before the end. Each
interpreter must exit with status 0, print nothing that shows an abort or a crash, and end within
5 seconds of announcing that it is about to exit."""

import os
import select
import subprocess
import sys
import time

from stress_common import child_env, report

STREAM_COUNTS = (1, 4, 16)
RUNS = int(sys.argv[1]) if len(sys.argv) > 1 else 50
EXIT_LIMIT = 5.0  # seconds from the announcement to the end of the process
START_LIMIT = 60  # seconds for a child to start its streams
BAD_WORDS = ("Fatal", "terminate", "Segmentation", "Traceback")

CHILD = r'''
import os, sys, threading, time
import pyvorn_device

streams_wanted, variant = int(sys.argv[1]), int(sys.argv[2])
manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
OPTIONS = ("stream_chunks=owned", "stream_chunks=lent,stream_rate=5000",
           "stream_chunks=owned,stream_error_every=2", "stream_chunks=lent")
devices, streams, first_calls, kept = [], [], [], []

for i in range(streams_wanted):
    device = manager.create_device(OPTIONS[(i + variant) % len(OPTIONS)])
    called = threading.Event()
    slow = (i + variant) % 3 == 0

    def callback(payload, text, called=called, slow=slow):
        if payload is not None and not kept:
            kept.append(payload)  # a delivered buffer alive at exit
        called.set()
        if slow:
            time.sleep(0.002)  # often in the middle of a call when the interpreter ends

    chunk_size = 256 * (1 + (i + variant) % 4)
    if (i + variant) % 2:
        stream = device.start_aligned_read_stream(0, 1 + i % 9, callback, chunk_size=chunk_size,
                                                  max_queue_elements=64 + 50 * i)
    else:
        stream = device.start_read_stream(0, callback, chunk_size=chunk_size)
    assert stream is not None
    devices.append(device)
    streams.append(stream)
    first_calls.append(called)

for called in first_calls:
    assert called.wait(30), "a stream delivered nothing"

way_out = variant % 4
if way_out == 3:
    del manager  # the devices and streams keep the plug-in loaded

if way_out == 2:
    def registers():
        device = devices[0]
        while True:
            device.set_register_sync(1, 2, 0xFF)
            device.get_register_sync(1)
    threading.Thread(target=registers, daemon=True).start()

print("EXITING", flush=True)
if way_out == 1:
    sys.exit(0)
'''


def read_output(child, output: bytearray, until: bytes, deadline: float) -> bool:
    """Appends the child's output to `output` until it contains `until` (or, for b"", until the
    end of the output); returns False when `deadline` passes first."""
    fd = child.stdout.fileno()
    while not (until and until in output):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        ready, _, _ = select.select([fd], [], [], remaining)
        if ready:
            block = os.read(fd, 65536)
            if not block:
                return not until
            output += block
    return True


def run_announcing_child(argv, exit_limit: float) -> tuple:
    """Runs a child that prints EXITING when it is about to exit. Returns (exit status, seconds
    from the announcement to the end of the process or None when it never announced or did not
    end within 4 * exit_limit, output)."""
    child = subprocess.Popen(argv, env=child_env(), stdout=subprocess.PIPE,
                             stderr=subprocess.STDOUT, bufsize=0)
    output = bytearray()
    elapsed = None
    try:
        if read_output(child, output, b"EXITING\n", time.monotonic() + START_LIMIT):
            announced_at = time.monotonic()
            deadline = announced_at + exit_limit * 4
            read_output(child, output, b"", deadline)  # the rest of the output, up to its end
            try:
                child.wait(timeout=max(0.0, deadline - time.monotonic()))
                elapsed = time.monotonic() - announced_at
            except subprocess.TimeoutExpired:
                pass
    finally:
        if child.poll() is None:
            child.kill()
        child.wait()
        child.stdout.close()
    return child.returncode, elapsed, output.decode(errors="replace")


def one_exit(streams: int, variant: int) -> float:
    """Runs one child; returns the seconds from its announcement to its end."""
    name = f"{streams} streams, variant {variant}"
    status, elapsed, output = run_announcing_child(
        [sys.executable, "-c", CHILD, str(streams), str(variant)], EXIT_LIMIT)
    assert elapsed is not None, (
        f"{name}: did not announce its exit or did not end:\n{output[-3000:]}")
    assert status == 0, f"{name}: exit status {status}:\n{output[-3000:]}"
    for word in BAD_WORDS:
        assert word not in output, f"{name}: '{word}' in the output:\n{output[-3000:]}"
    assert elapsed <= EXIT_LIMIT, f"{name}: exit took {elapsed:.2f} s"
    return elapsed


def main():
    figures = {}
    worst_overall = 0.0
    for streams in STREAM_COUNTS:
        times = [one_exit(streams, variant) for variant in range(RUNS)]
        figures[f"exits_{streams}_streams"] = len(times)
        figures[f"worst_exit_{streams}_streams_s"] = round(max(times), 2)
        figures[f"mean_exit_{streams}_streams_s"] = round(sum(times) / len(times), 2)
        worst_overall = max(worst_overall, max(times))
    figures["worst_exit_s"] = round(worst_overall, 2)
    report(**figures)


if __name__ == "__main__":
    main()
