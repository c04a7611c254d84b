"""Streams of the Linux plug-in: a regular file byte for byte, a FIFO fed by a writer, read
errors, stop() from two threads, and bad stream arguments. Anything that waits on a FIFO runs in
a fresh interpreter with a timeout."""

import hashlib
import os
import random
import threading

import pytest

import pyvorn_device
from conftest import run_python
from linux_plugin_helpers import LINUX_PLUGIN, open_resources

WAIT = 60  # seconds; only reached when a stream fails to end
SIZE = 50_000_000


class Digest:
    """Hashes every chunk; counts chunks, texts and end markers."""

    def __init__(self, keep=False):
        self.hash = hashlib.sha256()
        self.sizes, self.texts, self.kept = [], [], []
        self.ends = 0
        self.keep = keep
        self.ended = threading.Event()

    def __call__(self, payload, text):
        if payload is not None:
            self.hash.update(payload)
            self.sizes.append(memoryview(payload).nbytes)
            if self.keep:
                self.kept.append(payload)
        elif text is not None:
            self.texts.append(text)
        else:
            self.ends += 1
            self.ended.set()


@pytest.fixture(scope="module")
def big_file(tmp_path_factory):
    path = tmp_path_factory.mktemp("linux_stream") / "big.bin"
    data = random.Random(9).randbytes(SIZE)
    path.write_bytes(data)
    return path, hashlib.sha256(data).hexdigest(), hashlib.sha256(data[12345:]).hexdigest()


@pytest.fixture
def linux():
    return pyvorn_device.get_device_manager(LINUX_PLUGIN)


@pytest.mark.parametrize("how", ["chunk 0", "chunk 4096", "chunk 1000003", "aligned 4096",
                                 "kept buffers", "from 12345"])
def test_a_regular_file_arrives_byte_for_byte_then_the_end(linux, big_file, how):
    path, whole, tail = big_file
    dev = linux.create_device(f"stream={path}")
    got = Digest(keep=how == "kept buffers")
    if how.startswith("aligned"):
        stream = dev.start_aligned_read_stream(0, 4096, got, chunk_size=65536)
    elif how.startswith("chunk"):
        stream = dev.start_read_stream(0, got, chunk_size=int(how.split()[1]))
    else:
        stream = dev.start_read_stream(12345 if how == "from 12345" else 0, got)
    with stream:
        assert got.ended.wait(WAIT)
    assert got.texts == []
    assert got.ends == 1
    assert got.hash.hexdigest() == (tail if how == "from 12345" else whole)
    if how == "chunk 0":
        assert max(got.sizes) == 65536  # the documented default
    if how.startswith("aligned"):
        assert all(size % 4096 == 0 for size in got.sizes[:-1])
    assert f"stream bytes={sum(got.sizes)}" in dev.get_status()


def test_a_read_error_gives_its_text_then_the_end(linux, tmp_path):
    dev = linux.create_device(f"stream={tmp_path}")  # opens, but read() fails: EISDIR
    got = Digest()
    with dev.start_read_stream(0, got):
        assert got.ended.wait(WAIT)
    assert got.texts == [f"linux: cannot read stream {tmp_path}: Is a directory"]
    assert (got.sizes, got.ends) == ([], 1)


def test_bad_stream_arguments_are_refused_and_leave_nothing_open(linux, tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    short = tmp_path / "short.bin"
    short.write_bytes(b"abc")
    before = open_resources(tmp_path)
    got = Digest()
    cases = [
        ("name=x", 0, 0, RuntimeError, "has no stream: create it with stream=PATH"),
        (f"stream={tmp_path}/missing", 0, 0, RuntimeError, "missing: No such file or directory"),
        (f"stream={fifo}", 4, 0, ValueError, "is not seekable: its address must be 0, not 4"),
        (f"stream={short}", 0, 2**40, ValueError, "chunk_size 1099511627776 is larger"),
    ]
    for options, addr, chunk_size, error, match in cases:
        dev = linux.create_device(options)
        with pytest.raises(error, match=match):
            dev.start_read_stream(addr, got, chunk_size=chunk_size)
    dev = linux.create_device(f"stream={short}")
    with dev.start_read_stream(100, got):  # past the end of a file: at once the end
        assert got.ended.wait(WAIT)
    del dev
    assert (got.sizes, got.texts, got.ends) == ([], [], 1)
    assert open_resources(tmp_path) == before


FIFO_SCRIPT = """
import os, sys, threading, time, weakref
import pyvorn_device
from linux_plugin_helpers import LINUX_PLUGIN, open_resources

fifo = sys.argv[1] if len(sys.argv) > 1 else None
path = {path!r}
os.mkfifo(path)
before = open_resources(os.path.dirname(path))
silent, close_writer = threading.Event(), threading.Event()

def writer():
    with open(path, "wb", buffering=0) as f:  # waits for the stream to open the FIFO
        f.write(b"hello fifo")
        silent.set()
        close_writer.wait()

class Cb:
    def __init__(self):
        self.data, self.texts, self.ends = b"", [], 0
        self.got_data, self.ended = threading.Event(), threading.Event()
    def __call__(self, payload, text):
        if payload is not None:
            self.data += bytes(payload)
            self.got_data.set()
        elif text is not None:
            self.texts.append(text)
        else:
            self.ends += 1
            self.ended.set()

dev = pyvorn_device.get_device_manager(LINUX_PLUGIN).create_device("stream=" + path)
cb = Cb()
alive = weakref.ref(cb)
write_thread = threading.Thread(target=writer, daemon=True)
write_thread.start()
stream = dev.start_read_stream(0, cb)
assert cb.got_data.wait(10) and silent.wait(10)
"""


def run_fifo(tmp_path, body):
    code = FIFO_SCRIPT.format(path=str(tmp_path / "fifo")) + body
    result = run_python(code, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_fifo_stop_from_two_threads_is_prompt_and_ends_everything(tmp_path):
    out = run_fifo(tmp_path, """
del cb
time.sleep(0.2)  # the writer is silent; the reader waits in poll()
barrier, took = threading.Barrier(2), []
def stopper():
    barrier.wait()
    t0 = time.monotonic()
    stream.stop()
    took.append((time.monotonic() - t0, alive() is None))
threads = [threading.Thread(target=stopper) for _ in range(2)]
for t in threads: t.start()
for t in threads: t.join()
assert all(s < 0.1 and gone for s, gone in took), took  # gone: the callback did not outlive stop
close_writer.set()
write_thread.join()
del stream, dev
assert open_resources(os.path.dirname(path)) == before
print("stopped in", max(s for s, _ in took) * 1000, "ms")
""")
    assert "stopped in" in out


def test_fifo_writer_closing_gives_the_end_marker(tmp_path):
    run_fifo(tmp_path, """
close_writer.set()
assert cb.ended.wait(10)
assert (cb.data, cb.texts, cb.ends) == (b"hello fifo", [], 1)
stream.stop()
write_thread.join()
""")


def test_dropping_the_device_ends_its_stream_thread(tmp_path):
    run_fifo(tmp_path, """
del dev  # the reader must not outlive its device
assert cb.ended.wait(10)
assert cb.texts == ["linux: stream " + path + " ended: its device was closed"], cb.texts
stream.stop()
close_writer.set()
write_thread.join()
""")


def test_the_interpreter_exits_with_streams_running(tmp_path, big_file):
    run_fifo(tmp_path, f"""
big = pyvorn_device.get_device_manager(LINUX_PLUGIN).create_device("stream={big_file[0]}")
slow = lambda payload, text: time.sleep(0.01)
streams = [big.start_read_stream(0, slow, chunk_size=4096),
           big.start_aligned_read_stream(0, 512, slow, chunk_size=4096)]
time.sleep(0.2)
""")  # neither stopped: exit must stop them without hanging or crashing
