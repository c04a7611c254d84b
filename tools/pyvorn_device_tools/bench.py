"""vorn bench: the register call cost and the sustained stream rate of one plug-in."""

import argparse
import time
from collections.abc import Callable

import pyvorn_device

from pyvorn_device_tools import streaming
from pyvorn_device_tools.target import ToolError, open_device


def per_call(call: Callable[[], object], seconds: float = 0.5) -> float:
    """Mean seconds per call over about `seconds`, in batches so the clock costs little."""
    calls, began = 0, time.perf_counter()
    while (elapsed := time.perf_counter() - began) < seconds:
        for _ in range(1000):
            call()
        calls += 1000
    return elapsed / calls


def stream_rate(device: pyvorn_device.Device, args: argparse.Namespace) -> str:
    receiver = streaming.Receiver(None, None)
    stream = streaming.start(device, receiver, args.addr, args.chunk_size, None, args.max_queue)
    if stream is None:
        return "stream: the device refused the stream"
    progress = streaming.Progress(None, args.seconds, quiet=True)
    elapsed, _ = streaming.run(stream, receiver, args.seconds, progress)
    counts = receiver.counts
    mb_s, chunks_s = counts.bytes / elapsed / 1e6, counts.events / elapsed
    chunk = counts.bytes // counts.events if counts.events else 0
    figures = f"{mb_s:.1f} MB/s, {chunks_s:.0f} chunks/s of {chunk} bytes over {elapsed:.1f} s"
    if counts.lost:
        return (f"stream: best rate seen {figures}, with {counts.lost} chunks dropped: the "
                "device outruns the callback (pace it, e.g. a rate option, for a drop-free figure)")
    ended = " (the device ended the stream early)" if counts.ended else ""
    return f"stream: sustained {figures}, no drops{ended}"


def bench(args: argparse.Namespace) -> int:
    device = open_device(args.plugin, args.options)
    if device.get_register_sync(args.addr) is None:
        raise ToolError(f"get_register_sync({args.addr:#x}) failed")
    read = per_call(lambda: device.get_register_sync(args.addr))
    value = device.get_register_sync(args.addr) or 0
    write = per_call(lambda: device.set_register_sync(args.addr, value, 0xFFFF_FFFF))
    print(f"get_register_sync: {read * 1e6:.2f} us per call")
    print(f"set_register_sync: {write * 1e6:.2f} us per call")
    print(stream_rate(device, args))
    return 0
