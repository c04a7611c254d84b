"""vorn capture: one stream to a file, with progress and a summary."""

import argparse
import contextlib
import sys
from typing import BinaryIO, Iterator

from pyvorn_device_tools import streaming
from pyvorn_device_tools.target import ToolError, open_device

EXIT_DROPS = 2
EXIT_INTERRUPTED = 130


@contextlib.contextmanager
def open_sink(name: str | None) -> Iterator[BinaryIO | None]:
    if name is None:
        yield None
    elif name == "-":
        yield sys.stdout.buffer
        sys.stdout.buffer.flush()
    else:
        with open(name, "wb") as sink:
            yield sink


def summary(counts: streaming.StreamCounts, elapsed: float, interrupted: bool) -> str:
    rate = counts.bytes / elapsed / 1e6 if elapsed > 0 else 0.0
    how = "interrupted" if interrupted else "ended by the device" if counts.ended else "done"
    text = (f"{how}: {counts.bytes} bytes in {counts.events} chunks, {elapsed:.2f} s, "
            f"{rate:.1f} MB/s; dropped {counts.dropped}, allocation failures "
            f"{counts.allocation_failures}, device errors {counts.device_errors}")
    if counts.last_device_error:
        text += f" (last: {counts.last_device_error})"
    return text


def capture(args: argparse.Namespace) -> int:
    device = open_device(args.plugin, args.options)
    with open_sink(args.file) as sink:
        receiver = streaming.Receiver(sink, args.bytes)
        stream = streaming.start(device, receiver, args.addr, args.chunk_size, args.align,
                                 args.max_queue)
        if stream is None:
            raise ToolError("the device refused the stream")
        progress = streaming.Progress(args.bytes, args.seconds, args.quiet)
        elapsed, interrupted = streaming.run(stream, receiver, args.seconds, progress)
    counts = receiver.counts
    print(summary(counts, elapsed, interrupted), file=sys.stderr)
    if receiver.write_error is not None:
        raise ToolError(f"writing {args.file}: {receiver.write_error}")
    if counts.lost and not args.allow_drops:
        return EXIT_DROPS
    return EXIT_INTERRUPTED if interrupted else 0
