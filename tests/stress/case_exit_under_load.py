"""Interpreter exit while the streams are still busy with Python:
 - long_callbacks: four streams whose callbacks are each in the middle of a 3-second call (made
   of short sleeps, so the lock is given up and taken back all the time) when the interpreter
   ends; 10 runs;
 - daemon_churn: two daemon threads that start and stop streams in a loop (and so are often
   inside DataStream.stop() or start_read_stream()) when the interpreter ends; 20 runs.
Each run must exit with status 0, print nothing that shows an abort or a crash, and end within
15 seconds of announcing its exit."""

import sys

from case_interpreter_exit import BAD_WORDS, run_announcing_child
from stress_common import report

EXIT_LIMIT = 15.0  # seconds; a callback in progress may take 3 s to return

LONG_CALLBACKS = r'''
import os, threading, time
import pyvorn_device

manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
kept, inside = [], []
for i in range(4):
    device = manager.create_device("stream_chunks=owned")
    entered = threading.Event()

    def callback(payload, text, entered=entered):
        entered.set()
        until = time.monotonic() + 3
        while time.monotonic() < until:
            time.sleep(0.0002)

    kept.append((device, device.start_read_stream(0, callback, chunk_size=256)))
    inside.append(entered)
for entered in inside:
    assert entered.wait(30)
print("EXITING", flush=True)
'''

DAEMON_CHURN = r'''
import os, threading, time
import pyvorn_device

manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
device = manager.create_device("stream_chunks=owned")

def callback(payload, text):
    time.sleep(0.001)

def churn(aligned):
    while True:
        if aligned:
            stream = device.start_aligned_read_stream(0, 3, callback, chunk_size=256)
        else:
            stream = device.start_read_stream(0, callback, chunk_size=256)
        time.sleep(0.0005)
        stream.stop()

for aligned in (False, True):
    threading.Thread(target=churn, args=(aligned,), daemon=True).start()
time.sleep(0.05)
print("EXITING", flush=True)
'''

SCENARIOS = (("long_callbacks", LONG_CALLBACKS, 10), ("daemon_churn", DAEMON_CHURN, 20))


def main():
    figures = {}
    failures = []
    for name, code, runs in SCENARIOS:
        times, bad = [], 0
        for run in range(runs):
            status, elapsed, output = run_announcing_child([sys.executable, "-c", code],
                                                           EXIT_LIMIT)
            problems = [f"exit status {status}"] if status != 0 else []
            problems += [f"'{word}' in the output" for word in BAD_WORDS if word in output]
            if elapsed is None or elapsed > EXIT_LIMIT:
                problems.append("did not end in time")
            else:
                times.append(elapsed)
            if problems:
                bad += 1
                if bad <= 2:  # the first two of each scenario
                    failures.append(f"{name} run {run}: {', '.join(problems)}:\n{output[-1500:]}")
        figures[f"{name}_exits"] = runs
        figures[f"{name}_failed"] = bad
        figures[f"{name}_worst_exit_s"] = round(max(times), 2) if times else None
    report(**figures)
    assert not failures, "\n".join(failures)


if __name__ == "__main__":
    main()
