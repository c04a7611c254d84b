"""Tearing streams down in the ways that can hang or crash a process: a device that takes no
stream, deletion without stop, teardown from inside the stream's own callback, objects dropped
in every order, and interpreter exit with streams still running. Each case runs in a fresh
interpreter with a timeout."""

import concurrent.futures
import itertools
import os
import select
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import BUILD_DIR, SIM_PLUGIN, UNDER_ASAN, run_python

PRELUDE = """
import gc, os, sys, threading, time, weakref
import pyvorn_device

PLUGIN = os.environ["VORN_SIM_PLUGIN"]

from counting_callback import Counter

def settled(counter, wait=0.1):
    before = counter.count
    time.sleep(wait)
    return counter.count == before
"""


def run_case(body, timeout=60):
    """Runs PRELUDE + body; the body prints DONE as its last line once all its checks passed."""
    result = run_python(PRELUDE + body, timeout=timeout)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    for fatal in ("Fatal", "terminate", "Segmentation", "Error in callback"):
        assert fatal not in output, output
    assert result.stdout.rstrip().endswith("DONE"), output
    return result


def run_cases(body, runs=20, timeout=60):
    """Runs the case `runs` times, a few interpreters at a time, so that a race that hits one run
    in twenty shows."""
    runs = min(runs, 5) if UNDER_ASAN else runs
    with concurrent.futures.ThreadPoolExecutor(4) as pool:
        list(pool.map(lambda _: run_case(body, timeout), range(runs)))


def test_a_python_device_opens_no_stream_and_drops_the_chain():
    run_case(
        """
class Quiet(pyvorn_device.Device):
    pass

for device in (Quiet(), pyvorn_device.Device()):
    for round in range(20):
        callback = Counter()
        alive = weakref.ref(callback)
        if round % 2:
            result = device.start_read_stream(0, callback, max_queue_elements=64)
        else:
            result = device.start_aligned_read_stream(0, 8, callback)
        assert result is None
        del callback
        gc.collect()
        # The chain, and with it the last native reference to the callable, is gone.
        assert alive() is None

    ran = False
    try:
        with device.start_read_stream(0, Counter()):
            ran = True
    except (AttributeError, TypeError):
        pass
    else:
        raise AssertionError("a with statement over None should fail")
    assert not ran
print("DONE")
""",
        timeout=60,
    )


@pytest.mark.parametrize("aligned", [False, True])
def test_deleting_a_running_stream_without_stop(aligned):
    run_case(
        f"""
manager = pyvorn_device.get_device_manager(PLUGIN)
for options in ("stream_rate=0", "stream_rate=5000", "stream_rate=1"):
    device = manager.create_device(options)
    for delay in (0.0, 0.05):
        counter = Counter(delay)
        alive = weakref.ref(counter)
        if {aligned!r}:
            s = device.start_aligned_read_stream(0, 4096, counter, chunk_size=1000)
        else:
            s = device.start_read_stream(0, counter, chunk_size=1000)
        if options != "stream_rate=1":
            assert counter.arrived(2)
        del s
        # Deletion waited for the delivery thread: nothing more arrives and the callable is free.
        assert settled(counter)
        del counter
        gc.collect()
        assert alive() is None
print("DONE")
""",
    )


@pytest.mark.parametrize("orphaned", [False, True])
@pytest.mark.parametrize("how", ["stop", "exit", "del_list", "del_attribute"])
def test_tearing_a_stream_down_from_inside_its_own_callback(how, orphaned):
    # Orphaned: the device and the manager are gone from Python, so the stream is what keeps
    # the plug-in loaded when it is destroyed on its own delivery thread.
    run_case(
        f"""
HOW = {how!r}

for round in range(10):
    manager = pyvorn_device.get_device_manager(PLUGIN)
    device = manager.create_device("stream_rate=0")
    holder = []
    calls = []
    done = threading.Event()
    placed = threading.Event()  # opened once the stream's only reference is in place

    class Box:
        pass
    box = Box()

    def callback(payload, text):
        placed.wait(10)
        calls.append((payload is None, text))
        if len(calls) == 3:
            if HOW == "stop":
                holder[0].stop()
            elif HOW == "exit":
                holder[0].__exit__(None, None, None)
            elif HOW == "del_list":
                holder.clear()  # the only reference: the stream is destroyed right here
            else:
                del box.stream
            done.set()

    stream = device.start_read_stream(0, callback)
    if HOW == "del_attribute":
        box.stream = stream
    else:
        holder.append(stream)
    del stream
    if {orphaned!r}:
        del device, manager
        gc.collect()
    placed.set()
    assert done.wait(10)
    # The call that tore the stream down was the last one.
    time.sleep(0.05)
    assert len(calls) == 3, len(calls)
    holder.clear()
    del callback
    gc.collect()
print("DONE")
""",
    )


def test_streams_started_and_dropped_inside_another_streams_callback():
    run_case(
        """
manager = pyvorn_device.get_device_manager(PLUGIN)
device = manager.create_device("stream_rate=0")
inner_counts = []
finished = threading.Event()

def outer(payload, text):
    if finished.is_set():
        return
    inner = Counter()
    stream = device.start_aligned_read_stream(0, 256, inner, chunk_size=100)
    assert inner.arrived(3)
    if len(inner_counts) % 2:
        stream.stop()
    del stream  # waits for the inner delivery thread from this delivery thread
    inner_counts.append(inner.count)
    if len(inner_counts) == 6:
        finished.set()

outer_stream = device.start_read_stream(0, outer)
assert finished.wait(20)
outer_stream.stop()
assert len(inner_counts) == 6 and min(inner_counts) >= 3
print("DONE")
""",
    )


def test_exit_with_streams_never_stopped():
    run_case(
        """
manager = pyvorn_device.get_device_manager(PLUGIN)
device = manager.create_device("stream_rate=0")
counters = [Counter() for _ in range(4)]
streams = [device.start_read_stream(0, counters[0]),
           device.start_read_stream(0, counters[1], chunk_size=100),
           device.start_aligned_read_stream(0, 4096, counters[2], chunk_size=1000),
           manager.create_device("stream_rate=100").start_read_stream(0, counters[3])]
assert all(c.arrived(2) for c in counters)
print("DONE", flush=True)
""",
        timeout=60,
    )


def test_exit_with_one_stream_never_stopped():
    run_case(
        """
manager = pyvorn_device.get_device_manager(PLUGIN)
stream = manager.create_device("").start_read_stream(0, lambda p, t: None)
print("DONE", flush=True)
""",
    )


@pytest.mark.parametrize("sleep", [0.5, 5.0])
def test_exit_while_a_callback_is_asleep(sleep):
    # A callback that outlasts the exit's wait for delivery threads meets a finalizing
    # interpreter when it wants the lock back.
    run_case(
        f"""
manager = pyvorn_device.get_device_manager(PLUGIN)
device = manager.create_device("stream_rate=0")
asleep = threading.Event()

def sleepy(payload, text):
    asleep.set()
    time.sleep({sleep!r})

streams = [device.start_read_stream(0, sleepy),
           device.start_aligned_read_stream(0, 16, Counter())]
assert asleep.wait(10)
print("DONE", flush=True)
""",
        timeout=60,
    )


def test_exit_from_a_non_main_thread_stream_owner_and_sys_exit():
    run_case(
        """
manager = pyvorn_device.get_device_manager(PLUGIN)
device = manager.create_device("stream_rate=0")
counter = Counter()
streams = []

def open_streams():
    streams.append(device.start_read_stream(0, counter))
    streams.append(device.start_aligned_read_stream(0, 64, counter))

worker = threading.Thread(target=open_streams)
worker.start()
worker.join()
assert counter.arrived(10)
print("DONE", flush=True)
sys.exit(0)
""",
    )


ORDERS = list(itertools.permutations(["manager", "device", "stream"]))


@pytest.mark.parametrize("aligned", [False, True])
def test_dropping_manager_device_and_stream_in_every_order(aligned):
    run_case(
        f"""
kept = []

def keep_some(payload, text):
    if payload is not None and len(kept) < 3:
        kept.append((payload, bytes(payload)))

for order in {ORDERS!r}:
    for stop_first in (False, True):
        objects = {{}}
        objects["manager"] = pyvorn_device.get_device_manager(PLUGIN)
        objects["device"] = objects["manager"].create_device("stream_rate=0")
        counter = Counter()

        def callback(payload, text, counter=counter):
            keep_some(payload, text)
            counter(payload, text)

        if {aligned!r}:
            objects["stream"] = objects["device"].start_aligned_read_stream(0, 512, callback,
                                                                             chunk_size=700)
        else:
            objects["stream"] = objects["device"].start_read_stream(0, callback, chunk_size=700)
        assert counter.arrived(5)
        for name in order:
            if name == "stream" and stop_first:
                objects["stream"].stop()
            del objects[name]
            gc.collect()
            if name == "stream":
                assert settled(counter)
            else:
                # The stream runs on while its device or manager is gone from Python.
                assert "stream" not in objects or counter.arrived(counter.count + 3)
        del callback, counter

# Bytes delivered by a plug-in whose manager and device are long gone are still intact, and
# releasing them (the plug-in's code) works.
for payload, copy in kept:
    assert bytes(payload) == copy
kept.clear()
gc.collect()
print("DONE")
""",
        timeout=120,
    )


def test_stream_outlives_device_and_manager_then_stops_later():
    run_case(
        """
manager = pyvorn_device.get_device_manager(PLUGIN)
device = manager.create_device("stream_bytes=0,stream_rate=2000")
counter = Counter()
stream = device.start_read_stream(0, counter)
del device, manager
gc.collect()
assert counter.arrived(counter.count + 10)
stream.stop()
assert settled(counter)
del stream
gc.collect()
print("DONE")
""",
    )


def test_an_idle_open_stream_does_not_burn_cpu():
    # A coarse bound against a delivery thread that spins while waiting for data: two idle
    # streams would cost about a core each. Not a benchmark.
    result = run_case(
        """
import resource

def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime

manager = pyvorn_device.get_device_manager(PLUGIN)
# One chunk per second: the first one comes after a second, so the streams sit idle meanwhile.
device = manager.create_device("stream_rate=1")
streams = [device.start_read_stream(0, Counter()),
           device.start_aligned_read_stream(0, 4096, Counter())]
time.sleep(0.1)
cpu_before, wall_before = cpu_seconds(), time.monotonic()
time.sleep(0.8)
cpu, wall = cpu_seconds() - cpu_before, time.monotonic() - wall_before
for s in streams:
    s.stop()
print(f"CPU {cpu:.3f} {wall:.3f}")
print("DONE")
""",
        timeout=60,
    )
    line = next(l for l in result.stdout.splitlines() if l.startswith("CPU"))
    cpu, wall = map(float, line.split()[1:])
    assert cpu < 0.3 * wall, line


def test_exit_waits_for_a_stream_that_stopped_itself_from_its_callback():
    # The callback goes on after stopping its own stream; exit waits for it like for any other.
    run_cases(
        """
device = pyvorn_device.get_device_manager(PLUGIN).create_device("stream_rate=0")
holder = []
placed, stopped = threading.Event(), threading.Event()

def callback(payload, text):
    placed.wait(10)
    if holder:
        holder.pop().stop()
        stopped.set()
        time.sleep(0.3)
        print("DONE", flush=True)

holder.append(device.start_read_stream(0, callback))
placed.set()
assert stopped.wait(10)
"""
    )


def test_a_daemon_thread_dropping_a_running_stream_at_exit():
    run_cases(
        """
import random

device = pyvorn_device.get_device_manager(PLUGIN).create_device("stream_rate=0")
box = [device.start_read_stream(0, lambda payload, text: time.sleep(0.02))]

def drop():
    time.sleep(random.uniform(0, 0.03))
    box.clear()  # the stream's destructor waits for its delivery while the interpreter exits

threading.Thread(target=drop, daemon=True).start()
time.sleep(random.uniform(0, 0.03))
print("DONE", flush=True)
"""
    )


def test_exit_with_a_running_stream_that_its_own_callback_holds():
    # Only the cycle through the callback holds the stream, its device and its manager; the
    # stream is destroyed on its own delivery thread when exit stops it.
    run_cases(
        """
class Reader:
    def __init__(self, device):
        self.count = 0
        self.stream = device.start_aligned_read_stream(0, 4096, self.on_data, chunk_size=1000)

    def on_data(self, payload, text):
        self.count += 1

Reader(pyvorn_device.get_device_manager(PLUGIN).create_device("stream_rate=0"))
gc.collect()
time.sleep(0.05)
print("DONE", flush=True)
"""
    )


def test_two_callbacks_that_stop_each_other():
    run_cases(
        """
device = pyvorn_device.get_device_manager(PLUGIN).create_device("stream_rate=0")
streams = {}
placed = threading.Event()

def stopping(other):
    def callback(payload, text):
        placed.wait(10)
        streams[other].stop()  # asks; never waits for the other's delivery thread
    return callback

streams["a"] = device.start_read_stream(0, stopping("b"))
streams["b"] = device.start_read_stream(0, stopping("a"))
placed.set()
time.sleep(0.05)
for stream in streams.values():
    stream.stop()
print("DONE", flush=True)
""",
        runs=10,
    )


def test_concurrent_stops_return_only_once_the_stream_has_stopped():
    run_case(
        """
device = pyvorn_device.get_device_manager(PLUGIN).create_device("stream_rate=0")
for round in range(20):
    counter = Counter(delay=0.001)
    stream = device.start_read_stream(0, counter)
    assert counter.arrived(1)
    start = threading.Barrier(3)
    late_calls = []

    def stop():
        start.wait()
        stream.stop()
        seen = counter.count
        time.sleep(0.02)
        late_calls.append(counter.count - seen)

    stoppers = [threading.Thread(target=stop) for _ in range(3)]
    for thread in stoppers:
        thread.start()
    for thread in stoppers:
        thread.join()
    assert late_calls == [0, 0, 0], (round, late_calls)
print("DONE", flush=True)
"""
    )


def test_a_forked_child_with_an_inherited_running_stream_exits_promptly():
    run_cases(
        """
import warnings
warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a threaded process

device = pyvorn_device.get_device_manager(PLUGIN).create_device("stream_rate=1000")
counter = Counter()
stream = device.start_read_stream(0, counter)
assert counter.arrived(2)
pid = os.fork()
if pid == 0:
    stream.stop()  # inert here: the stream's threads stayed in the parent
    sys.exit(0)
deadline = time.monotonic() + 10
while time.monotonic() < deadline:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.01)
else:
    os.kill(pid, 9)
    raise AssertionError("the child did not exit")
assert os.waitstatus_to_exitcode(status) == 0
before = counter.count
assert counter.arrived(before + 2)  # the parent's stream runs on
stream.stop()
print("DONE", flush=True)
""",
        runs=5,
    )


def test_ctrl_c_interrupts_a_stop_that_waits_for_a_blocked_callback():
    run_case(
        """
import _thread, signal

# A run started in the background inherits SIGINT ignored, which interrupt_main() respects.
signal.signal(signal.SIGINT, signal.default_int_handler)
device = pyvorn_device.get_device_manager(PLUGIN).create_device("stream_rate=100")
release = threading.Event()
calls = []

def blocked(payload, text):
    calls.append(1)
    release.wait(30)  # bounded, so that a failing case cannot hang the exit

stream = device.start_read_stream(0, blocked)
while not calls:
    time.sleep(0.01)
started = time.monotonic()
try:
    threading.Timer(0.3, _thread.interrupt_main).start()
    stream.stop()
except KeyboardInterrupt:
    pass
else:
    raise AssertionError("stop() was not interrupted")
assert time.monotonic() - started < 5
release.set()
stream.stop()  # the stop stayed requested: the stream ends once its callback returns
count = len(calls)
time.sleep(0.05)
assert len(calls) == count == 1, len(calls)
print("DONE", flush=True)
"""
    )


def test_ctrl_c_ends_an_exit_that_waits_for_a_callback_that_never_returns():
    code = textwrap.dedent("""
        import os, signal, threading
        import pyvorn_device
        signal.signal(signal.SIGINT, signal.default_int_handler)  # not inherited as ignored
        device = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"]).create_device("")
        inside = threading.Event()
        def stuck(payload, text):
            inside.set()
            threading.Event().wait()
        stream = device.start_read_stream(0, stuck)
        inside.wait()
        """)
    env = dict(os.environ, PYTHONPATH=str(BUILD_DIR), VORN_SIM_PLUGIN=str(SIM_PLUGIN))
    for _ in range(2):
        child = subprocess.Popen([sys.executable, "-c", code], env=env, text=True,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            # One line names what the exit waits for.
            readable, _, _ = select.select([child.stderr], [], [], 20)
            waiting = child.stderr.readline() if readable else ""

            assert "the stream calling <function stuck" in waiting, waiting
            child.send_signal(signal.SIGINT)
            child.wait(20)
        finally:
            child.kill()
            child.communicate()
        assert child.returncode == -signal.SIGINT
