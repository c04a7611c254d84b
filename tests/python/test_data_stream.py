"""DataStream: stopping a running stream by stop(), by a with block and by __exit__, and what the
callback sees afterwards."""

import threading
import time

import pytest

import pyvorn_device
from conftest import run_python, test_plugin
from counting_callback import Counter

WAIT = 10  # seconds; only reached on failure


@pytest.fixture
def endless(manager):
    """A device whose streams run until stopped, at a modest pace."""
    return manager.create_device("stream_rate=2000,stream_bytes=0")


def assert_no_more_calls(counter, settle=0.1):
    # Once the stop has returned, the delivery thread has ended: the count cannot move.
    before = counter.count
    time.sleep(settle)
    assert counter.count == before


@pytest.mark.parametrize("aligned", [False, True])
def test_stop_ends_delivery_and_can_be_repeated(endless, aligned):
    counter = Counter()
    if aligned:
        stream = endless.start_aligned_read_stream(0, 512, counter, chunk_size=256)
    else:
        stream = endless.start_read_stream(0, counter, chunk_size=256)
    assert counter.arrived(5)
    assert stream.stop() is None
    assert_no_more_calls(counter)
    assert stream.stop() is None
    # Still a usable object after both stops.
    assert stream.__enter__() is stream
    assert stream.__exit__(None, None, None) is None
    assert isinstance(stream, pyvorn_device.DataStream)


def test_enter_returns_the_stream_itself(endless):
    stream = endless.start_read_stream(0, Counter())
    assert stream.__enter__() is stream
    with stream as bound:
        assert bound is stream
    stream.stop()


def test_exit_without_exception_stops_and_returns_none(endless):
    counter = Counter()
    stream = endless.start_read_stream(0, counter)
    assert counter.arrived(3)
    assert stream.__exit__(None, None, None) is None
    assert_no_more_calls(counter)


def test_exit_with_exception_stops_and_does_not_swallow_it(endless):
    counter = Counter()
    stream = endless.start_read_stream(0, counter)
    assert counter.arrived(3)
    # None, not True: the with statement re-raises.
    assert stream.__exit__(ValueError, ValueError("x"), None) is None
    assert_no_more_calls(counter)


def test_with_block_stops_on_normal_exit_and_on_exception(endless):
    counter = Counter()
    with endless.start_read_stream(0, counter) as stream:
        assert counter.arrived(3)
    assert_no_more_calls(counter)

    counter = Counter()
    with pytest.raises(KeyError, match="inside"):
        with endless.start_aligned_read_stream(0, 64, counter) as stream:
            assert counter.arrived(3)
            raise KeyError("inside")
    assert_no_more_calls(counter)
    stream.stop()


def test_exit_refuses_a_first_argument_that_is_not_a_type(endless):
    counter = Counter()
    stream = endless.start_read_stream(0, counter)
    assert counter.arrived(2)
    for bad in ((ValueError("x"), None, None), ("ValueError", None, None), (None, None)):
        with pytest.raises(TypeError):
            stream.__exit__(*bad)
    # Not stopped by the refused calls.
    now = counter.count
    assert counter.arrived(now + 3)
    stream.stop()
    assert_no_more_calls(counter)


def test_data_stream_has_no_constructor():
    with pytest.raises(TypeError) as raised:
        pyvorn_device.DataStream()
    assert str(raised.value) == "pyvorn_device.DataStream: No constructor defined!"


def test_stop_waits_for_the_delivery_in_progress(endless):
    entered = threading.Event()
    finished = []
    calls = []

    def slow(payload, text):
        calls.append(payload is not None)
        if len(calls) == 1:
            entered.set()
            time.sleep(0.3)  # sleeping releases the lock; returning needs it back
            finished.append(True)

    stream = endless.start_read_stream(0, slow)
    assert entered.wait(WAIT)
    stream.stop()
    # The call in progress completed before stop returned, and nothing started after it.
    assert finished == [True]
    count = len(calls)
    time.sleep(0.1)
    assert len(calls) == count


def test_stop_from_another_python_thread(endless):
    counter = Counter()
    stream = endless.start_read_stream(0, counter)
    assert counter.arrived(2)
    stopper = threading.Thread(target=stream.stop)
    stopper.start()
    stopper.join(WAIT)
    assert not stopper.is_alive()
    assert_no_more_calls(counter)


def test_a_stream_that_ended_by_itself_can_still_be_stopped(manager):
    device = manager.create_device("stream_bytes=1000")
    ended = threading.Event()

    def note_end(payload, text):
        if payload is None and text is None:
            ended.set()

    stream = device.start_read_stream(0, note_end)
    assert ended.wait(WAIT)
    stream.stop()
    stream.stop()
    with stream:
        pass


def test_stop_releases_the_interpreter_lock():
    # Holding the lock while waiting for a callback that needs it to return would hang: in a
    # subprocess so a hang fails by timeout instead of blocking the suite.
    result = run_python(
        """
        import os, threading, time
        import pyvorn_device

        manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
        device = manager.create_device("stream_rate=1000")
        entered = threading.Event()

        def slow(payload, text):
            entered.set()
            time.sleep(0.2)

        for method in ("stop", "__exit__"):
            entered.clear()
            stream = device.start_read_stream(0, slow)
            assert entered.wait(10)
            if method == "stop":
                stream.stop()
            else:
                stream.__exit__(None, None, None)
        print("ok")
        """,
        timeout=30,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.parametrize("aligned", [False, True])
def test_statistics_reconcile_with_what_the_callback_saw(manager, aligned):
    # A slow callback that also raises now and then: drops, errors and data all counted.
    chunks, size = 300, 4096
    device = manager.create_device(f"stream_bytes={chunks * size}")
    seen = {"events": 0, "bytes": 0, "drop_runs": 0, "callback_errors": 0}
    ended = threading.Event()

    def slow(payload, text):
        if payload is not None:
            seen["events"] += 1
            seen["bytes"] += len(memoryview(payload))
            time.sleep(0.001)
            if seen["events"] % 7 == 0:
                seen["callback_errors"] += 1
                raise ValueError("every seventh")
        elif text is not None:
            assert text == "Queue Overflow, dropping event"
            seen["drop_runs"] += 1
        else:
            ended.set()

    if aligned:
        stream = device.start_aligned_read_stream(0, size, slow, chunk_size=size,
                                                  max_queue_elements=64)
    else:
        stream = device.start_read_stream(0, slow, chunk_size=size, max_queue_elements=64)
    assert stream.statistics()["running"]
    assert ended.wait(WAIT * 3)
    stream.stop()
    figures = stream.statistics()
    assert seen["drop_runs"] > 0, "no drops: the case shows nothing"
    assert figures == {**seen, "allocation_failures": 0, "dropped": figures["dropped"],
                       "max_queue_depth": figures["max_queue_depth"], "running": False}
    assert 1 <= figures["max_queue_depth"] <= 64
    assert seen["events"] + figures["dropped"] == chunks
    assert figures["dropped"] >= seen["drop_runs"]


def test_every_stop_reaches_the_device():
    # What a second stop does is the device's affair: both calls reach it.
    result = run_python(f"""
import pyvorn_device
device = pyvorn_device.get_device_manager({str(test_plugin("slow_calls"))!r}).create_device("")
stream = device.start_read_stream(0, lambda payload, text: None)
stream.stop()
stream.stop()
with stream:
    pass
print("STATUS", device.get_status())
""", timeout=60)
    assert "STATUS stops=3" in result.stdout, result.stdout + result.stderr


def test_losses_are_counted_when_they_happen_and_survive_stop(manager):
    # The callback holds its first call while the unpaced device runs far past the queue: the
    # count grows meanwhile, and a stop that discards the pending texts keeps it.
    chunks = 3000
    device = manager.create_device(f"stream_bytes={chunks * 64},stream_fill=0")
    release = threading.Event()
    stream = device.start_read_stream(0, lambda p, t: release.wait(10), chunk_size=64,
                                      max_queue_elements=64)
    deadline = time.monotonic() + WAIT
    while stream.statistics()["dropped"] < chunks - 66 and time.monotonic() < deadline:
        time.sleep(0.01)
    dropped = stream.statistics()["dropped"]
    release.set()
    stream.stop()
    assert chunks - 66 <= dropped < chunks
    assert stream.statistics()["dropped"] == dropped
