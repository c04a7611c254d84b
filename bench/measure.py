"""The benchmark's measurements: trials at a fixed device rate, the search for the sustained
rate, CPU per event, latency, an idle stream, a busy main thread and register calls."""

import resource
import statistics
import struct
import time
from dataclasses import dataclass

from designs import MAX_QUEUE

TRIAL_SECONDS = 2.0
SEARCH_START = {64: 200_000, 4096: 100_000, 65536: 40_000, 1 << 20: 4_000}  # events/s


def counting_callback():
    """The callback every design gets: touches the first byte of each chunk and counts it;
    counts texts (the module's overflow reports) apart."""
    counts = [0, 0]

    def callback(payload, text):
        if payload is not None:
            memoryview(payload)[0]
            counts[0] += 1
        elif text is not None:
            counts[1] += 1

    return callback, counts


def process_cpu() -> float:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def context_switches() -> int:
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_nvcsw + usage.ru_nivcsw


def python_loop(seconds: float) -> int:
    """A pure-Python loop for `seconds`; returns its iterations."""
    count = 0
    end = time.perf_counter() + seconds
    while time.perf_counter() < end:
        for _ in range(1000):
            count += 1
    return count


@dataclass
class Trial:
    rate: float
    delivered: int
    drops: int
    seconds: float
    cpu: float
    loops: int = 0

    @property
    def kept_up(self) -> bool:
        """Zero drops, and everything that was due (but what a wake-up's jitter leaves) arrived:
        a design falling behind would drop once its queue is full, only later."""
        due = self.rate * self.seconds
        return self.drops == 0 and self.delivered >= due - (0.01 * due + 0.002 * self.rate + 64)


def trial(design, chunk_size, rate, seconds=None, busy=False) -> Trial:
    """Runs the design at `rate` for `seconds`; ends early once it drops or falls a queue behind.
    `busy`: the main thread runs a pure-Python loop meanwhile instead of sleeping."""
    seconds = seconds or TRIAL_SECONDS
    callback, counts = counting_callback()
    cpu = process_cpu()
    handle = design.open(chunk_size, rate, callback)
    start = time.perf_counter()
    loops = 0
    try:
        while True:
            if busy:
                loops += python_loop(0.05)
            else:
                time.sleep(0.05)
            elapsed = time.perf_counter() - start
            delivered = counts[0]
            if elapsed >= seconds:
                break
            if rate and (counts[1] or rate * elapsed - delivered > MAX_QUEUE + 0.01 * rate):
                break  # dropped, or about to
    finally:
        drops = handle.stop() + counts[1]
    return Trial(rate, delivered, drops, elapsed, process_cpu() - cpu, loops)


def round_rate(rate: float) -> int:
    digits = max(0, len(str(int(rate))) - 3)
    return max(1, int(round(rate, -digits)))


def sustained(design, chunk_size, busy=False, log=None, start=None, step=2.0,
              bisections=3) -> Trial | None:
    """The highest device rate the design delivers for TRIAL_SECONDS with zero drops: from
    `start` (by default one per chunk size), multiply or divide by `step` until a pass and a
    failure bracket it, then bisect. The defaults end within 9 %, as does a second search from
    the first one's result with step 2 ** 0.25 and one bisection. Returns the passing trial, or
    None. (An unpaced run is no start: a flooded queue can show a tenth of what a paced source
    gets through.)"""
    rate = start or SEARCH_START.get(chunk_size, 10_000) // (20 if busy else 1)
    passed = failed = None
    for _ in range(10):
        result = trial(design, chunk_size, rate, busy=busy)
        if log:
            log(f"{design.name} {chunk_size} B at {rate:,}/s: {'ok' if result.kept_up else 'no'}")
        if result.kept_up:
            passed = result
        else:
            failed = rate
        if passed and failed:
            break
        rate = round_rate(rate * step if not failed else rate / step)
        if rate < 10:
            break
    for _ in range(bisections):
        if not (passed and failed):
            break
        rate = round_rate((passed.rate * failed) ** 0.5)
        if rate in (passed.rate, failed):
            break
        result = trial(design, chunk_size, rate, busy=busy)
        if log:
            log(f"{design.name} {chunk_size} B at {rate:,}/s: {'ok' if result.kept_up else 'no'}")
        if result.kept_up:
            passed = result
        else:
            failed = rate
    return passed


def busy_main_thread(design, chunk_size, log=None):
    """The sustained rate while the main thread runs a pure-Python loop, and the share of its
    loop speed the main thread keeps at that rate (against runs alone right before and after,
    as the machine's load drifts)."""
    found = sustained(design, chunk_size, busy=True, log=log)
    if found is None:
        return None, None
    before = python_loop(1.0)
    again = trial(design, chunk_size, found.rate, busy=True)
    after = python_loop(1.0)
    result = again if again.kept_up else found
    return found.rate, result.loops / result.seconds / ((before + after) / 2)


def cpu_per_event(design, chunk_size, rate) -> float | None:
    """µs of process CPU per delivered event at a fixed rate (None if that rate drops)."""
    result = trial(design, chunk_size, rate, seconds=1.0)
    if not result.kept_up or result.delivered == 0:
        return None
    return result.cpu / result.delivered * 1e6


def latency(design, rate, seconds=1.5, chunk_size=64):
    """p50 and p99 in µs from the source's stamp to the callback; None if the run dropped."""
    samples = []
    texts = [0]

    def callback(payload, text):
        if payload is not None:
            now = time.clock_gettime_ns(time.CLOCK_MONOTONIC)
            samples.append(now - struct.unpack_from("<Q", payload, 8)[0])
        elif text is not None:
            texts[0] += 1

    handle = design.open(chunk_size, rate, callback)
    time.sleep(seconds)
    drops = handle.stop() + texts[0]
    kept = samples[len(samples) // 10:]  # after the warm-up
    if drops or len(kept) < 100:
        return None
    quantiles = statistics.quantiles(kept, n=100)
    return quantiles[49] / 1000, quantiles[98] / 1000


def idle(design, seconds=2.0):
    """% of one core and context switches per second of a stream of one 64-byte chunk a
    second."""
    callback, _ = counting_callback()
    handle = design.open(64, 1, callback)
    time.sleep(0.3)
    cpu, switches, start = process_cpu(), context_switches(), time.perf_counter()
    time.sleep(seconds)
    elapsed = time.perf_counter() - start
    cpu, switches = process_cpu() - cpu, context_switches() - switches
    handle.stop()
    return 100 * cpu / elapsed, switches / elapsed


def pacing_error(design, rate, seconds):
    """The device's actual rate against the requested one, from the stamps of what arrived
    (drops do not matter: the sequence numbers count every chunk); relative error. A thread
    preempted on a loaded machine emits late and then catches up, so the rate is taken between
    the most punctual chunk of the first third and that of the last third."""
    stamps = []

    def callback(payload, text):
        if payload is not None:
            stamps.append(struct.unpack_from("<QQ", payload))

    handle = design.open(64, rate, callback)
    time.sleep(seconds)
    handle.stop()
    if len(stamps) < 2:
        return None
    begin, end = stamps[0][1], stamps[-1][1]
    first = [s for s in stamps if s[1] <= begin + (end - begin) / 3]
    last = [s for s in stamps if s[1] >= end - (end - begin) / 3]

    def punctual(group):  # the least late against the nominal schedule
        return min(group, key=lambda s: s[1] - s[0] * 1e9 / rate)

    (seq0, ts0), (seq1, ts1) = punctual(first), punctual(last)
    if seq1 == seq0:
        return None
    return (seq1 - seq0) / ((ts1 - ts0) / 1e9) / rate - 1


def per_call_ns(function, *args, calls=200_000) -> float:
    """ns per call, best of three rounds."""
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(calls):
            function(*args)
        best = min(best, time.perf_counter() - start)
    return best / calls * 1e9


def overload(manager, seconds=10, chunk_size=64, log=None) -> dict:
    """A device at 4x the callback's capacity: data chunks delivered in the last second against
    what the callback handles alone. The callback spends a fixed time per data chunk; texts cost
    it next to nothing."""
    work = 50e-6

    def busy(payload):
        until = time.perf_counter() + work
        while time.perf_counter() < until:
            pass

    calls, start = 0, time.perf_counter()
    while time.perf_counter() - start < 1.0:
        busy(None)
        calls += 1
    capacity = calls / (time.perf_counter() - start)
    device = manager.create_device(f"stream_rate={round(4 * capacity)},stream_fill=0")
    data, texts = [0], [0]

    def callback(payload, text):
        if payload is not None:
            busy(payload)
            data[0] += 1
        elif text is not None:
            texts[0] += 1

    with device.start_read_stream(0, callback, chunk_size=chunk_size):
        time.sleep(seconds - 1)
        data_before, texts_before = data[0], texts[0]
        time.sleep(1)
        last_second, last_texts = data[0] - data_before, texts[0] - texts_before
    if log:
        log(f"overload: capacity {capacity:.0f}/s, second {seconds}: {last_second} chunks, "
            f"{last_texts} texts")
    return {"capacity": capacity, "last_second": last_second, "texts": last_texts,
            "seconds": seconds}
