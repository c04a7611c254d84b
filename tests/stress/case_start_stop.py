"""Starts and ends streams of both kinds 2,000 times each, ending them in turn by stop(), by
leaving a `with` block, by deleting the stream object without stopping it, by stopping it from
inside its own callback, and by dropping its last reference from inside its own callback. Each
stream runs until its first data call arrives. Checks that no callback call arrives after the
stream has been ended and that resident memory after the last cycle is within 10 MiB of what it
was after the first 100 cycles."""

import gc
import sys
import threading

import pyvorn_device

from stress_common import SIM_PLUGIN, report, rss_mib

CYCLES = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
BASELINE_CYCLES = 100
ALLOWED_GROWTH_MIB = 10
WAIT = 10  # seconds; only reached when something hangs

ENDINGS = ("stop", "with", "delete", "stop_in_callback", "delete_in_callback")


class CycleCallback:
    """Counts calls; calls made after the stream was ended count as late."""

    def __init__(self, ending: str):
        self.stop_inside = ending == "stop_in_callback"
        self.delete_inside = ending == "delete_in_callback"
        self.first_data = threading.Event()
        self.stopped_inside = threading.Event()
        self.stream_holder = []
        self.ended = False
        self.late_calls = 0
        self.errors = []

    def __call__(self, payload, text):
        if self.ended:
            self.late_calls += 1
            return
        if payload is not None:
            if len(memoryview(payload)) == 0:
                self.errors.append("empty data call")
            self.first_data.set()
        if self.stream_holder and not self.stopped_inside.is_set():
            if self.stop_inside:
                self.stream_holder[0].stop()
            elif self.delete_inside:
                # The last reference: the stream is torn down here, on its own delivery thread.
                self.stream_holder.clear()
            else:
                return
            # The thread that ended the stream is this delivery thread: no call may follow.
            self.ended = True
            self.stopped_inside.set()


def start(device, aligned: bool, callback, cycle: int):
    chunk_size = 64 + (cycle % 7) * 96
    if aligned:
        return device.start_aligned_read_stream(0, 1 + cycle % 13, callback,
                                                chunk_size=chunk_size)
    return device.start_read_stream(0, callback, chunk_size=chunk_size)


def one_cycle(device, aligned: bool, cycle: int) -> CycleCallback:
    ending = ENDINGS[cycle % len(ENDINGS)]
    callback = CycleCallback(ending)
    stream = start(device, aligned, callback, cycle)
    assert stream is not None
    if ending == "with":
        with stream as entered:
            assert entered is stream
            assert callback.first_data.wait(WAIT), "no data within the wait"
        callback.ended = True
    elif ending == "stop":
        assert callback.first_data.wait(WAIT), "no data within the wait"
        stream.stop()
        callback.ended = True
    elif ending == "delete":
        assert callback.first_data.wait(WAIT), "no data within the wait"
        del stream
        callback.ended = True
    else:
        callback.stream_holder.append(stream)
        del stream
        # The callback holds the only reference now.
        assert callback.stopped_inside.wait(WAIT), "the callback never ended its stream"
        callback.stream_holder.clear()  # a stopped stream is deleted here, on this thread
    assert not callback.errors, callback.errors
    if not ending.endswith("_in_callback"):
        assert callback.late_calls == 0, f"{callback.late_calls} calls after '{ending}' returned"
    return callback


def run(device_of, aligned: bool, name: str) -> dict:
    inside_callbacks = []
    baseline = None
    for cycle in range(CYCLES):
        callback = one_cycle(device_of(cycle), aligned, cycle)
        if callback.stop_inside or callback.delete_inside:
            inside_callbacks.append(callback)
        if cycle + 1 == BASELINE_CYCLES:
            gc.collect()
            baseline = rss_mib()
    # A stream ended from inside its callback ends its delivery thread after that call returns;
    # by now every such thread has had time to finish, and none may have called again.
    late = sum(cb.late_calls for cb in inside_callbacks)
    assert late == 0, f"{late} calls after a stream was ended from inside its callback"
    gc.collect()
    final = rss_mib()
    growth = final - baseline
    assert growth <= ALLOWED_GROWTH_MIB, (
        f"{name}: resident memory grew by {growth:.1f} MiB between cycle {BASELINE_CYCLES} "
        f"({baseline:.1f} MiB) and cycle {CYCLES} ({final:.1f} MiB)")
    return {f"{name}_cycles": CYCLES,
            f"{name}_rss_after_{BASELINE_CYCLES}_mib": round(baseline, 1),
            f"{name}_rss_after_last_mib": round(final, 1),
            f"{name}_growth_mib": round(growth, 1)}


def main():
    manager = pyvorn_device.get_device_manager(SIM_PLUGIN)
    devices = [manager.create_device("stream_chunks=owned"),
               manager.create_device("stream_chunks=lent,stream_rate=20000,stream_error_every=3")]

    def device_of(cycle):
        return devices[(cycle // len(ENDINGS)) % len(devices)]

    figures = {}
    figures.update(run(device_of, aligned=False, name="plain"))
    figures.update(run(device_of, aligned=True, name="aligned"))
    report(**figures)


if __name__ == "__main__":
    main()
