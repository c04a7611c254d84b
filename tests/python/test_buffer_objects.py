"""ManagedBuffer and DataView as Python sees them: the buffer they export, how long their bytes
stay valid, and that they work wherever a flat byte buffer is expected."""

import gc
import threading

import numpy
import pytest

import pyvorn_device
from conftest import run_python

WAIT = 10  # seconds; only reached when a stream fails to end


def pattern(offset, size):
    return ((numpy.arange(offset, offset + size, dtype=numpy.uint64) % 251)
            .astype(numpy.uint8).tobytes())


class Kept:
    """A stream callback that keeps what it is given and can run a check on each payload while
    its call lasts."""

    def __init__(self, during_call=None):
        self.payloads = []
        self.views = []
        self.texts = []
        self.failures = []
        self.during_call = during_call
        self.ended = threading.Event()

    def __call__(self, payload, text):
        if payload is None and text is None:
            self.ended.set()
            return
        if payload is None:
            self.texts.append(text)
            return
        self.payloads.append(payload)
        view = memoryview(payload)
        self.views.append(view)
        if self.during_call is not None:
            try:
                self.during_call(payload, view)
            except Exception as error:  # reported by the test, not the delivery thread's log
                self.failures.append(error)

    def wait(self):
        assert self.ended.wait(WAIT), "the stream did not end"
        assert self.failures == []
        assert self.texts == []


def run_stream(device, callback, aligned=None, **kwargs):
    if aligned is None:
        stream = device.start_read_stream(0, callback, **kwargs)
    else:
        stream = device.start_aligned_read_stream(0, aligned, callback, **kwargs)
    assert stream is not None
    callback.wait()
    stream.stop()
    return stream


def describe(view):
    return (view.format, view.itemsize, view.ndim, view.shape, view.strides, view.readonly,
            view.nbytes, view.c_contiguous)


def test_objects_cannot_be_made_from_python():
    for cls in (pyvorn_device.ManagedBuffer, pyvorn_device.DataView):
        with pytest.raises(TypeError, match="No constructor defined!"):
            cls()


@pytest.mark.parametrize("chunks", ["owned", "lent"])
def test_managed_buffers_export_flat_writable_bytes(manager, chunks):
    device = manager.create_device(f"stream_bytes=2500,stream_chunks={chunks}")
    shapes = []
    kept = Kept(lambda payload, view: shapes.append(describe(view)))
    run_stream(device, kept, chunk_size=1000)
    assert all(type(p) is pyvorn_device.ManagedBuffer for p in kept.payloads)
    sizes = [1000, 1000, 500]
    assert shapes == [("B", 1, 1, (n,), (1,), False, n, True) for n in sizes]
    # Same description after the callback, from the kept object and a fresh view of it.
    assert [describe(memoryview(p)) for p in kept.payloads] == shapes
    assert b"".join(bytes(p) for p in kept.payloads) == pattern(0, 2500)


def test_data_views_export_flat_writable_bytes(manager):
    device = manager.create_device("stream_bytes=10000")
    shapes = []
    kept = Kept(lambda payload, view: shapes.append(describe(view)))
    run_stream(device, kept, aligned=4096, chunk_size=3000)
    assert all(type(p) is pyvorn_device.DataView for p in kept.payloads)
    sizes = [len(v) for v in kept.views]
    assert sum(sizes) == 10000
    assert shapes == [("B", 1, 1, (n,), (1,), False, n, True) for n in sizes]


def test_bytes_copies_and_memoryview_writes_in_place(manager):
    device = manager.create_device("stream_bytes=300")
    kept = Kept()
    run_stream(device, kept)
    (buffer,) = kept.payloads
    copy = bytes(buffer)
    assert copy == pattern(0, 300)
    first, second = memoryview(buffer), memoryview(buffer)
    first[0:3] = b"xyz"
    # Both views share the object's bytes; the earlier copy does not.
    assert second[0:3].tobytes() == b"xyz"
    assert bytes(buffer)[:3] == b"xyz"
    assert copy[:3] == pattern(0, 3)


@pytest.mark.parametrize("chunks", ["owned", "lent"])
def test_managed_buffers_outlive_their_callback_and_stream(manager, chunks):
    device = manager.create_device(f"stream_bytes=20000,stream_chunks={chunks}")
    kept = Kept()
    stream = run_stream(device, kept, chunk_size=777)
    del stream
    gc.collect()
    assert b"".join(bytes(p) for p in kept.payloads) == pattern(0, 20000)
    # The memoryviews taken inside the callbacks still see the same bytes.
    assert b"".join(v.tobytes() for v in kept.views) == pattern(0, 20000)


def test_numpy_over_a_managed_buffer_keeps_it_alive(manager):
    device = manager.create_device("stream_bytes=5000")
    kept = Kept()
    run_stream(device, kept, chunk_size=5000)
    array = numpy.frombuffer(kept.payloads[0], dtype=numpy.uint8)
    assert array.flags.writeable
    kept.payloads.clear()
    kept.views.clear()
    gc.collect()
    # The array is now the only owner of the bytes.
    assert numpy.array_equal(array, numpy.arange(5000) % 251)
    array[:] = 7
    assert not numpy.any(array - 7)


def test_delivered_buffers_pass_the_block_transfer_checks(manager):
    device = manager.create_device("stream_bytes=3000")
    kept = Kept()
    run_stream(device, kept, chunk_size=1000)
    for index, buffer in enumerate(kept.payloads):
        assert device.write(index * 1000, buffer) == 1000
    back = bytearray(3000)
    for index in range(3):
        view = memoryview(back)[index * 1000:(index + 1) * 1000]
        assert device.read(index * 1000, view) == 1000
    assert bytes(back) == pattern(0, 3000)
    # Writable: the device can fill a delivered buffer.
    device.write(50, b"\xaa" * 1000)
    assert device.read(50, kept.payloads[0]) == 1000
    assert bytes(kept.payloads[0]) == b"\xaa" * 1000


def test_data_views_pass_the_block_transfer_checks_during_their_callback(manager):
    device = manager.create_device("stream_bytes=8192")
    written = []

    def write_back(view, _memoryview):
        written.append(device.write(0x10000 + sum(written), view))  # piece after piece
        # Writable: the device fills the piece in place, then restores it.
        saved = bytes(view)
        device.write(0x80000, b"\x55" * len(saved))
        device.read(0x80000, view)
        assert bytes(view) == b"\x55" * len(saved)
        device.write(0x90000, saved)
        device.read(0x90000, view)

    kept = Kept(write_back)
    run_stream(device, kept, aligned=1024, chunk_size=3000)
    assert sum(written) == 8192
    out = bytearray(8192)
    assert device.read(0x10000, out) == 8192
    assert bytes(out) == pattern(0, 8192)


@pytest.mark.parametrize("chunks", ["owned", "lent"])
@pytest.mark.parametrize("alignment,chunk_size", [(4096, 1000), (4096, 5000), (7, 3), (512, 512)])
def test_data_views_kept_after_their_callback_keep_their_bytes(manager, chunks, alignment,
                                                              chunk_size):
    # Pieces come both from the chunks and from the aligner's carry-over buffer, which it goes
    # on using after the callback: a kept view must not see it change.
    total = 30011
    device = manager.create_device(f"stream_bytes={total},stream_chunks={chunks}")
    kept = Kept()
    # Small chunks come faster than Python takes them: leave room so that nothing is dropped.
    stream = run_stream(device, kept, aligned=alignment, chunk_size=chunk_size,
                        max_queue_elements=1 << 20)
    sizes = [len(v) for v in kept.views]
    assert all(size % alignment == 0 for size in sizes[:-1])
    assert sum(sizes) == total
    expected = pattern(0, total)
    assert b"".join(v.tobytes() for v in kept.views) == expected
    del stream
    gc.collect()
    assert b"".join(bytes(p) for p in kept.payloads) == expected
    assert b"".join(numpy.frombuffer(p, numpy.uint8).tobytes() for p in kept.payloads) == expected


def test_buffers_outlive_the_device_and_manager():
    # Releasing these bytes runs the plug-in's code: the objects keep the plug-in loaded.
    result = run_python(
        """
        import gc, os, threading
        import pyvorn_device

        def pattern(offset, size):
            return bytes((offset + i) % 251 for i in range(size))

        manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
        device = manager.create_device("stream_bytes=9000")
        buffers, views, ends = [], [], [threading.Event(), threading.Event()]

        def keep(into, end):
            def callback(payload, text):
                if payload is None:
                    end.set()
                else:
                    into.append(payload)
            return callback

        plain = device.start_read_stream(0, keep(buffers, ends[0]), chunk_size=2000)
        aligned = device.start_aligned_read_stream(0, 4096, keep(views, ends[1]), chunk_size=3000)
        assert all(e.wait(10) for e in ends)
        held = memoryview(buffers[1])
        del device, manager
        gc.collect()
        plain.stop()
        aligned.stop()
        del plain, aligned
        gc.collect()
        assert b"".join(bytes(b) for b in buffers) == pattern(0, 9000)
        assert b"".join(bytes(v) for v in views) == pattern(0, 9000)
        buffers.clear()
        views.clear()
        gc.collect()
        assert held.tobytes() == pattern(2000, 2000)
        held.release()
        del held
        gc.collect()
        print("done")
        """,
        timeout=60,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "done"
