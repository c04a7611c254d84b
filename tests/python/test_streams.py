"""start_read_stream and start_aligned_read_stream: what the Python callback receives, in which
order, what the arguments do, and how lost events and failing callbacks show up."""

import gc
import re
import struct
import threading
import time
import weakref

import numpy
import pytest

import pyvorn_device
from conftest import UNDER_ASAN, run_python

WAIT = 10  # seconds; only reached when a stream fails to end

OVERFLOW = "Queue Overflow, dropping event"


def pattern(offset, size):
    return ((numpy.arange(offset, offset + size, dtype=numpy.uint64) % 251)
            .astype(numpy.uint8).tobytes())


class Recorder:
    """Records every call as ("data", type, bytes), ("text", str) or ("end",)."""

    def __init__(self):
        self.calls = []
        self.ended = threading.Event()

    def __call__(self, payload, text):
        if payload is not None:
            assert text is None
            self.calls.append(("data", type(payload), bytes(payload)))
        elif text is not None:
            self.calls.append(("text", text))
        else:
            self.calls.append(("end",))
            self.ended.set()

    def wait_end(self):
        assert self.ended.wait(WAIT), f"no end call after {len(self.calls)} calls"

    def data(self):
        return [call[2] for call in self.calls if call[0] == "data"]

    def texts(self):
        return [call[1] for call in self.calls if call[0] == "text"]

    def payload_types(self):
        return {call[1] for call in self.calls if call[0] == "data"}


def start(device, callback, alignment=None, **kwargs):
    if alignment is None:
        return device.start_read_stream(0, callback, **kwargs)
    return device.start_aligned_read_stream(0, alignment, callback, **kwargs)


def finish(stream, recorder):
    """Waits for the end call, stops the stream (which waits for its delivery thread) and checks
    that the end call was the last one."""
    recorder.wait_end()
    stream.stop()
    calls = list(recorder.calls)
    assert calls.count(("end",)) == 1
    assert calls[-1] == ("end",)
    return calls


def streams_started(device):
    # The sim's status ends with "<n> streams started".
    return int(device.get_status().split(", ")[-1].split()[0])


@pytest.mark.parametrize("chunks", ["owned", "lent"])
@pytest.mark.parametrize("total,chunk_size", [(100000, 4096), (10000, 1000), (1, 0), (5000, 10**6)])
def test_plain_stream_delivers_every_byte_once_in_order(manager, chunks, total, chunk_size):
    device = manager.create_device(f"stream_bytes={total},stream_chunks={chunks}")
    recorder = Recorder()
    stream = start(device, recorder, chunk_size=chunk_size)
    assert type(stream) is pyvorn_device.DataStream
    finish(stream, recorder)
    # Lent chunks are copied by the queue, so both kinds arrive as owning buffers.
    assert recorder.payload_types() == {pyvorn_device.ManagedBuffer}
    assert recorder.texts() == []
    size = chunk_size or 4096
    expected_sizes = [min(size, total - offset) for offset in range(0, total, size)]
    assert [len(d) for d in recorder.data()] == expected_sizes
    assert b"".join(recorder.data()) == pattern(0, total)


def test_chunk_size_zero_is_passed_to_the_device(manager):
    # The sim uses its default_chunk_size for a request of 0, so sizes show what it was given.
    for options, sizes in [("stream_bytes=10000", [4096, 4096, 1808]),
                           ("stream_bytes=2500,default_chunk_size=1000", [1000, 1000, 500])]:
        device = manager.create_device(options)
        for alignment in (None, 1):
            recorder = Recorder()
            finish(start(device, recorder, alignment), recorder)
            assert [len(d) for d in recorder.data()] == sizes
            recorder = Recorder()
            finish(start(device, recorder, alignment, chunk_size=0), recorder)
            assert [len(d) for d in recorder.data()] == sizes


@pytest.mark.parametrize("chunks", ["owned", "lent"])
@pytest.mark.parametrize("chunk_size", [1000, 4095, 4097, 5000, 8192, 12289])
def test_aligned_stream_regroups_into_multiples_of_the_alignment(manager, chunks, chunk_size):
    total = 100003
    device = manager.create_device(f"stream_bytes={total},stream_chunks={chunks}")
    recorder = Recorder()
    calls = finish(start(device, recorder, 4096, chunk_size=chunk_size), recorder)
    assert recorder.payload_types() == {pyvorn_device.DataView}
    sizes = [len(d) for d in recorder.data()]
    assert all(size % 4096 == 0 and size > 0 for size in sizes[:-1])
    assert sizes[-1] == total % 4096  # the final flush, right before the end call
    assert calls[-2][0] == "data"
    assert b"".join(recorder.data()) == pattern(0, total)


@pytest.mark.parametrize(
    "total,chunk_size,alignment,sizes",
    [
        # Each chunk of 3 completes the carried-over bytes to one 4-byte piece.
        (12, 3, 4, [4, 4, 4]),
        # Aligned run of the first chunk, then the carry-over first, then the rest of the chunk.
        (20, 10, 4, [8, 4, 8]),
        (10, 10, 4, [8, 2]),
        # A chunk that brings the carry-over exactly to the alignment delivers only that.
        (8, 2, 4, [4, 4]),
        (6, 4, 4, [4, 2]),
        (5, 5, 1, [5]),
    ],
)
def test_aligned_piece_sizes(manager, total, chunk_size, alignment, sizes):
    device = manager.create_device(f"stream_bytes={total}")
    recorder = Recorder()
    finish(start(device, recorder, alignment, chunk_size=chunk_size), recorder)
    assert [len(d) for d in recorder.data()] == sizes
    assert b"".join(recorder.data()) == pattern(0, total)


@pytest.mark.parametrize("alignment", [None, 64])
def test_error_texts_arrive_in_order_between_the_data(manager, alignment):
    device = manager.create_device("stream_bytes=1000,stream_error_every=2")
    recorder = Recorder()
    calls = finish(start(device, recorder, alignment, chunk_size=128), recorder)
    # Chunks 1..8 (the last one 104 bytes), a text after every second chunk.
    expected_texts = [f"sim: injected error after chunk {n}" for n in (2, 4, 6, 8)]
    assert recorder.texts() == expected_texts
    delivered = 0
    for call in calls:
        if call[0] == "data":
            delivered += len(call[2])
        elif call[0] == "text":
            # Every byte of the chunks before the text came before it (an aligned stream may
            # still hold fewer than `alignment` of them).
            chunks_before = int(call[1].rsplit(" ", 1)[1])
            carried = 0 if alignment is None else min(1000, chunks_before * 128) % alignment
            assert delivered == min(1000, chunks_before * 128) - carried
    assert b"".join(recorder.data()) == pattern(0, 1000)


@pytest.mark.parametrize("alignment", [None, 16])
def test_options_are_keyword_only(device, alignment):
    recorder = Recorder()
    with pytest.raises(TypeError):
        if alignment is None:
            device.start_read_stream(0, recorder, 4096)
        else:
            device.start_aligned_read_stream(0, alignment, recorder, 4096)
    with pytest.raises(TypeError):
        if alignment is None:
            device.start_read_stream(0, recorder, 4096, 64)
        else:
            device.start_aligned_read_stream(0, alignment, recorder, 4096, 64)
    assert streams_started(device) == 0
    # By name, in any order, including the leading arguments.
    if alignment is None:
        stream = device.start_read_stream(callback=recorder, addr=0, max_queue_elements=64,
                                          chunk_size=8)
    else:
        stream = device.start_aligned_read_stream(callback=recorder, alignment=alignment, addr=0,
                                                  max_queue_elements=64, chunk_size=8)
    stream.stop()
    assert streams_started(device) == 1


@pytest.mark.parametrize("alignment", [None, 16])
def test_queue_limit_bounds(device, alignment):
    recorder = Recorder()
    for limit, message in [(63, "max_elements must be greater than init_elements"),
                           (0, "max_elements must be greater than init_elements"),
                           (2**31, "max_elements must not be greater than 2147483647"),
                           (2**64 - 1, "max_elements must not be greater than 2147483647")]:
        with pytest.raises(RuntimeError) as raised:
            start(device, recorder, alignment, max_queue_elements=limit)
        assert str(raised.value) == message
    with pytest.raises(TypeError):
        start(device, recorder, alignment, max_queue_elements=-1)
    assert streams_started(device) == 0
    for limit in (64, 2**31 - 1):
        stream = start(device, recorder, alignment, max_queue_elements=limit)
        assert stream is not None
        stream.stop()
    assert streams_started(device) == 2


def test_bad_alignment_is_refused_before_the_device_is_called(device):
    recorder = Recorder()
    with pytest.raises(RuntimeError, match="^alignment must be greater than 0$"):
        device.start_aligned_read_stream(0, 0, recorder)
    for bad in (-1, 2**64, 1.5):
        with pytest.raises(TypeError):
            device.start_aligned_read_stream(0, bad, recorder)
    assert streams_started(device) == 0
    assert recorder.calls == []


@pytest.mark.parametrize("alignment", [None, 16])
def test_bad_callbacks_and_arguments_are_type_errors(device, alignment):
    with pytest.raises(TypeError, match="^callback must be callable$"):
        start(device, None, alignment)
    for not_callable in (5, "callback", [print]):
        with pytest.raises(TypeError):
            start(device, not_callable, alignment)
    for bad_addr in (-1, 2**32):
        with pytest.raises(TypeError):
            if alignment is None:
                device.start_read_stream(bad_addr, Recorder())
            else:
                device.start_aligned_read_stream(bad_addr, alignment, Recorder())
    with pytest.raises(TypeError):
        start(device, Recorder(), alignment, chunk_size=-1)
    assert streams_started(device) == 0


@pytest.mark.parametrize("alignment", [None, 64])
def test_overflow_replaces_each_run_of_lost_events_by_one_text(manager, alignment):
    # Stamped chunks carry their sequence number in their first 8 bytes, so the chunks that were
    # dropped can be named. Each run of consecutive lost chunks comes out as exactly one overflow
    # text in its place: a slow callback must not spend its time on one text per lost chunk.
    chunk_count, chunk_size = 600, 64
    device = manager.create_device(f"stream_bytes={chunk_count * chunk_size},stream_stamp=1")
    calls = []
    ended = threading.Event()
    first_data = threading.Event()

    def slow(payload, text):
        if payload is not None:
            calls.append(("data", bytes(payload)))
            if not first_data.is_set():
                first_data.set()
                time.sleep(0.3)  # the device meanwhile runs far past the queue's limit
            else:
                time.sleep(0.001)
        elif text is not None:
            calls.append(("text", text))
        else:
            calls.append(("end",))
            ended.set()

    # With alignment == chunk size every chunk comes out as one piece of its own.
    stream = start(device, slow, alignment, chunk_size=chunk_size, max_queue_elements=64)
    assert ended.wait(30), f"no end marker after {len(calls)} calls"
    stream.stop()

    # The calls, with each chunk named by its sequence number and the end as one past the last.
    named = [struct.unpack_from("<Q", c[1])[0] if c[0] == "data" else c[0] for c in calls]
    named[-1] = chunk_count
    assert named.count("end") == 0 and calls[-1] == ("end",)  # the end comes once, last
    assert {c[1] for c in calls if c[0] == "text"} == {OVERFLOW}
    sequences = [n for n in named if n != "text"]
    assert sequences == sorted(set(sequences))  # strictly increasing
    assert sequences[:64] == list(range(64))  # the first 64 fit in the queue
    expected, previous = [], -1
    for sequence in sequences:
        if sequence != previous + 1:
            expected.append("text")  # one text for the whole gap
        expected.append(sequence)
        previous = sequence
    assert named == expected
    assert stream.statistics()["dropped"] == chunk_count - len(sequences) + 1
    # Bytes past the stamp are untouched pattern bytes at the chunk's stream offset.
    for data in (c[1] for c in calls if c[0] == "data"):
        offset = struct.unpack_from("<Q", data)[0] * chunk_size
        assert data[16:] == pattern(offset + 16, chunk_size - 16)


@pytest.mark.parametrize("chunks", ["owned", "lent"])
def test_without_the_fill_only_the_stamp_is_written(manager, chunks):
    # 64-byte chunks held until the end: the owned ones come from the pool's fresh (zeroed)
    # buffers, the lent ones from the one zeroed buffer the device lends from.
    device = manager.create_device(
        f"stream_bytes={200 * 64},stream_chunks={chunks},stream_fill=0,stream_stamp=1")
    recorder = Recorder()
    finish(start(device, recorder, chunk_size=64), recorder)
    data = recorder.data()
    assert [struct.unpack_from("<Q", d)[0] for d in data] == list(range(200))
    stamps = [struct.unpack_from("<Q", d, 8)[0] for d in data]
    assert stamps == sorted(stamps) and stamps[0] > 0
    assert all(d[16:] == bytes(48) for d in data)


@pytest.mark.parametrize("alignment", [None, 64])
def test_payloads_the_callback_keeps_keep_their_own_bytes(manager, alignment):
    # Kept whole, kept through a view, or referenced only weakly: what Python holds shows the
    # bytes of its own event however many events follow, and a weakly held payload goes.
    device = manager.create_device(f"stream_bytes={3000 * 64}")
    kept, views, weak = [], [], []
    keepers = [kept.append, lambda p: views.append(memoryview(p)),
               lambda p: weak.append(weakref.ref(p))]
    texts, ended = [], threading.Event()

    def callback(payload, text):
        if payload is not None:
            keepers[(len(kept) + len(views) + len(weak)) % 3](payload)
        elif text is not None:
            texts.append(text)
        else:
            ended.set()

    stream = start(device, callback, alignment, chunk_size=64)
    assert ended.wait(WAIT)
    stream.stop()
    assert texts == [] and len(kept) == len(views) == len(weak) == 1000
    assert all(bytes(p) == pattern(64 * 3 * i, 64) for i, p in enumerate(kept))
    assert all(bytes(v) == pattern(64 * (3 * i + 1), 64) for i, v in enumerate(views))
    gc.collect()
    assert all(ref() is None for ref in weak)


def test_a_paced_stream_sleeps_between_chunks(manager):
    # 200 chunks/s for 0.5 s: about 100 chunks, produced without spinning.
    device = manager.create_device("stream_rate=200")
    recorder = Recorder()
    cpu = time.process_time()
    stream = start(device, recorder)
    time.sleep(0.5)
    stream.stop()
    cpu = time.process_time() - cpu
    assert 50 <= len(recorder.data()) <= 150
    assert cpu < 0.25, f"{cpu:.2f} s of CPU for 100 chunks"


def test_two_streams_of_one_device_are_independent(manager):
    device = manager.create_device("stream_bytes=50000")
    first, second = Recorder(), Recorder()
    a = start(device, first, chunk_size=1000)
    b = start(device, second, 4096, chunk_size=3000)
    finish(a, first)
    finish(b, second)
    assert b"".join(first.data()) == pattern(0, 50000)
    assert b"".join(second.data()) == pattern(0, 50000)
    assert streams_started(device) == 2


FAILING_CALLBACK = """
    import os, sys, threading
    import pyvorn_device

    manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
    device = manager.create_device("stream_bytes=1000,stream_error_every=3")
    done = threading.Event()
    counts = {"data": 0, "text": 0, "end": 0}

    def callback(payload, text):
        kind = "data" if payload is not None else "text" if text is not None else "end"
        counts[kind] += 1
        if kind == "end":
            done.set()
        if kind in RAISE_ON:
            raise ValueError(f"boom-{kind}-{counts[kind]}")

    ALIGNMENT = None
    RAISE_ON = set()
"""

FAILING_CALLBACK_RUN = """
    if ALIGNMENT is None:
        stream = device.start_read_stream(0, callback, chunk_size=100)
    else:
        stream = device.start_aligned_read_stream(0, ALIGNMENT, callback, chunk_size=100)
    assert done.wait(10), counts
    stream.stop()
    sys.stdout.flush()
    print("COUNTS", counts["data"], counts["text"], counts["end"], flush=True)
"""


def run_failing_callback(raise_on, alignment=None):
    code = FAILING_CALLBACK + f"    RAISE_ON = {set(raise_on)!r}\n    ALIGNMENT = {alignment!r}\n"
    result = run_python(code + FAILING_CALLBACK_RUN, timeout=60)
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    for fatal in ("Fatal", "terminate", "Segmentation"):
        assert fatal not in output
    counts_line = [line for line in result.stdout.splitlines() if line.startswith("COUNTS")]
    assert len(counts_line) == 1, output
    data, texts, ends = map(int, counts_line[0].split()[1:])
    # The program's standard output is its own: the log goes to standard error.
    assert "callback" not in result.stdout, result.stdout
    log_lines = [line for line in result.stderr.splitlines() if "Error in callback:" in line]
    suppressed = sum(int(m.group(1)) for m in re.finditer(
        r"(\d+) more errors in callback suppressed", result.stderr))
    return (data, texts, ends), log_lines, suppressed


def logged_errors(log_lines):
    """The Python error named by each "Error in callback:" line, in order."""
    return [line.split("Error in callback: ", 1)[1] for line in log_lines]


@pytest.mark.parametrize("alignment", [None, 200])
def test_a_callback_raising_on_data_is_logged_on_stderr_a_few_lines_a_second(alignment):
    (data, texts, ends), log_lines, suppressed = run_failing_callback({"data"}, alignment)
    # 10 chunks of 100 bytes (5 pieces of 200 when aligned), a text after every third chunk, then
    # the end call, which still comes.
    assert data == (10 if alignment is None else 5)
    assert (texts, ends) == (3, 1)
    assert all("[error]" in line for line in log_lines)
    # Five lines in the first second; the rest is counted in one line.
    assert logged_errors(log_lines) == [f"ValueError: boom-data-{n}" for n in range(1, 6)]
    assert suppressed == data - 5


def test_a_callback_raising_on_texts_and_at_the_end_is_logged_and_delivery_goes_on():
    (data, texts, ends), log_lines, suppressed = run_failing_callback({"text", "end"})
    assert (data, texts, ends, suppressed) == (10, 3, 1, 0)
    assert logged_errors(log_lines) == [
        "ValueError: boom-text-1", "ValueError: boom-text-2", "ValueError: boom-text-3",
        "ValueError: boom-end-1"]


def test_a_callback_raising_on_everything_is_survived():
    (data, texts, ends), log_lines, suppressed = run_failing_callback({"data", "text", "end"}, 128)
    # 1000 bytes in pieces of 128: 7 pieces and the final flush of 104.
    assert (data, texts, ends) == (8, 3, 1)
    assert len(log_lines) + suppressed == data + texts + ends


@pytest.mark.skipif(UNDER_ASAN, reason="ASan's operator new aborts instead of throwing bad_alloc")
@pytest.mark.parametrize("chunks", ["owned", "lent"])
def test_a_chunk_size_the_device_cannot_allocate_does_not_end_the_process(chunks):
    # The chunk size goes to the device unchanged; a device that cannot serve it may report an
    # error or end the stream, but its threads must not take the process down.
    result = run_python(
        f"""
        import os, time
        import pyvorn_device

        manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
        device = manager.create_device("stream_chunks={chunks}")
        calls = []
        try:
            stream = device.start_read_stream(0, lambda p, t: calls.append(t), chunk_size=2**50)
        except MemoryError:
            stream = None
        time.sleep(0.3)
        if stream is not None:
            stream.stop()
        print("survived", calls[:3])
        """,
        timeout=60,
    )
    output = result.stdout + result.stderr
    assert result.returncode == 0, output
    assert "terminate" not in output
    assert "survived" in result.stdout


def test_a_finite_stream_ends_even_when_its_queue_is_full():
    result = run_python(
        """
import os, threading, time
import pyvorn_device

device = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"]).create_device(
    "stream_bytes=409600")
ended = threading.Event()
calls = {"data": 0, "text": 0}

def slow(payload, text):
    if payload is None and text is None:
        ended.set()
        return
    calls["data" if payload is not None else "text"] += 1
    time.sleep(0.002)

with device.start_read_stream(0, slow, chunk_size=4096, max_queue_elements=64) as stream:
    assert ended.wait(30), calls
dropped = stream.statistics()["dropped"]
assert calls["data"] + dropped == 100 and 0 < calls["text"] <= dropped, (calls, dropped)
print("DONE")
""",
        timeout=60,
    )
    assert result.returncode == 0 and result.stdout.strip() == "DONE", result.stdout + result.stderr


def test_aligned_pieces_never_join_bytes_across_a_drop():
    # 100 chunks of 10,000 bytes with drops: every piece must be the stream's own bytes at a
    # multiple of the alignment. The stream is shorter than 251 * 4096 bytes, so a piece's first
    # byte names its offset.
    total, alignment = 100 * 10_000, 4096
    result = run_python(
        f"""
import os, threading, time
import numpy
import pyvorn_device

device = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"]).create_device(
    "stream_bytes={total}")
ended = threading.Event()
pieces, texts = [], []

def slow(payload, text):
    if payload is not None:
        pieces.append(bytes(payload))
        time.sleep(0.2 if len(pieces) == 1 else 0.0005)
    elif text is not None:
        texts.append(text)
    else:
        ended.set()

with device.start_aligned_read_stream(0, {alignment}, slow, chunk_size=10_000,
                                      max_queue_elements=64):
    assert ended.wait(30)
assert texts, "no drops: the case shows nothing"
offsets = {{o % 251: o for o in range(0, {total}, {alignment})}}
last = -1
for piece in pieces:
    offset = offsets[piece[0]]
    expected = (numpy.arange(offset, offset + len(piece), dtype=numpy.uint64) % 251).astype(
        numpy.uint8).tobytes()
    assert piece == expected, ("a piece holds bytes from both sides of a gap", offset)
    assert offset > last
    last = offset
print("DONE")
""",
        timeout=60,
    )
    assert result.returncode == 0 and result.stdout.strip() == "DONE", result.stdout + result.stderr


def test_a_chunk_size_no_buffer_can_have_is_refused():
    # Header plus chunk size wrapped around in the device's pool: a tiny buffer, written far past.
    result = run_python("""
        import os
        import pyvorn_device
        manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
        for chunks in ("owned", "lent"):
            device = manager.create_device(f"stream_chunks={chunks}")
            for _ in range(3):
                assert device.start_read_stream(0, lambda p, t: None, chunk_size=2**64 - 1) is None
                assert device.start_aligned_read_stream(
                    0, 4, lambda p, t: None, chunk_size=2**64 - 1) is None
        print("REFUSED")
        """, timeout=60)
    assert result.returncode == 0 and "REFUSED" in result.stdout, result.stdout + result.stderr
