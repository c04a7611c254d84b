"""The stream designs the benchmark compares, behind one interface.

Each design's open(chunk_size, rate, callback) starts a paced source of chunks (rate chunks/s;
0 = as fast as it can) delivered to callback(payload, text) on a thread of its own, with at most
MAX_QUEUE chunks waiting, and returns a handle whose stop() ends it and returns the drops the
design counted itself (the module reports its drops to the callback as texts instead). Sources
stamp each chunk like the simulated device: LE u64 sequence, LE u64 CLOCK_MONOTONIC ns.
"""

import ctypes
import pathlib
import queue
import threading
import time

import pyvorn_device
import vorn_bench_reference

MAX_QUEUE = 4096  # the module's default max_queue_elements


def sim_plugin() -> pathlib.Path:
    return (pathlib.Path(pyvorn_device.__file__).resolve().parent
            / "pyvorn_device_plugins" / "libvorn_sim.so")


class Handle:
    def __init__(self, stop, *keep):
        self._stop = stop
        self._keep = keep  # what must live as long as the source runs

    def stop(self) -> int:
        drops = self._stop()
        self._keep = ()
        return int(drops or 0)


class Module:
    """pyvorn_device with the simulated device, default queue limit; the sim writes only the
    stamp, so the module's cost is measured apart from the pattern fill."""

    def __init__(self, lent: bool):
        self.lent = lent
        self.name = "module lent" if lent else "module owned"
        self.manager = pyvorn_device.get_device_manager(sim_plugin())

    def open(self, chunk_size, rate, callback):
        mode = "lent" if self.lent else "owned"
        device = self.manager.create_device(
            f"stream_rate={rate},stream_chunks={mode},stream_fill=0,stream_stamp=1")
        if self.lent:
            stream = device.start_aligned_read_stream(0, chunk_size, callback,
                                                      chunk_size=chunk_size)
        else:
            stream = device.start_read_stream(0, callback, chunk_size=chunk_size)
        return Handle(stream.stop, stream, device)


class Reference:
    """The reference design (bench/reference): lent chunks are copied once into free-list
    buffers by the producer, owned ones are handed over as they are."""

    def __init__(self, lent: bool):
        self.lent = lent
        self.name = "reference lent" if lent else "reference owned"

    def open(self, chunk_size, rate, callback):
        stream = vorn_bench_reference.ReferenceStream(callback, chunk_size, rate, self.lent,
                                                      MAX_QUEUE)

        def stop():
            stream.stop()
            return stream.drops

        return Handle(stop, stream)


class Ctypes:
    """A native producer thread calling a ctypes callback per chunk; the chunk is lent for the
    call and shown to Python as a byte memoryview of a ctypes array over it."""

    name = "ctypes"

    def __init__(self):
        lib = ctypes.CDLL(vorn_bench_reference.__file__)
        self.callback_type = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_uint64)
        lib.vorn_bench_ctypes_start.restype = ctypes.c_void_p
        lib.vorn_bench_ctypes_start.argtypes = [self.callback_type, ctypes.c_uint64,
                                                ctypes.c_uint64, ctypes.c_uint64]
        lib.vorn_bench_ctypes_stop.restype = ctypes.c_uint64
        lib.vorn_bench_ctypes_stop.argtypes = [ctypes.c_void_p]
        self.lib = lib

    def open(self, chunk_size, rate, callback):
        array = ctypes.c_ubyte * chunk_size

        def adapter(address, size):
            # ctypes arrays export a '<B' format that memoryview cannot index
            callback(memoryview(array.from_address(address)).cast("B"), None)

        native = self.callback_type(adapter)
        handle = self.lib.vorn_bench_ctypes_start(native, chunk_size, rate, MAX_QUEUE)
        return Handle(lambda: self.lib.vorn_bench_ctypes_stop(handle), native)


class PurePython:
    """A threading producer putting a fresh bytearray per chunk into a bounded queue.Queue, and
    a consumer thread calling the callback."""

    name = "pure Python"

    def open(self, chunk_size, rate, callback):
        chunks = queue.Queue(maxsize=MAX_QUEUE)
        stopping = threading.Event()
        drops = [0]
        template = bytes(chunk_size)

        def produce():
            start = time.perf_counter()
            emitted = 0
            while not stopping.is_set():
                now = time.perf_counter()
                due = int((now - start) * rate) + 1 if rate else emitted + 1
                if due <= emitted:
                    time.sleep(emitted / rate - (now - start))
                    continue
                for _ in range(due - emitted):
                    try:
                        chunks.put_nowait(bytearray(template))
                    except queue.Full:
                        drops[0] += 1
                emitted = due

        def consume():
            while (chunk := chunks.get()) is not None:
                callback(chunk, None)

        threads = [threading.Thread(target=produce), threading.Thread(target=consume)]
        for thread in threads:
            thread.start()

        def stop():
            stopping.set()
            threads[0].join()
            chunks.put(None)
            threads[1].join()
            return drops[0]

        return Handle(stop)
