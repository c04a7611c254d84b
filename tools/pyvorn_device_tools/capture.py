"""vorn capture: one stream to a file, with progress and a summary."""

import argparse
import contextlib
import sys
from typing import BinaryIO, Iterator

from pyvorn_device_tools import exit_codes, streaming
from pyvorn_device_tools.target import ToolError, open_device


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
            f"{rate:.1f} MB/s; dropped {counts.dropped}, dropped by the remote server "
            f"{counts.remote_dropped}, allocation failures {counts.allocation_failures}, "
            f"device errors {counts.device_errors}")
    if counts.last_device_error:
        text += f" (last: {counts.last_device_error})"
    return text


def failure(counts: streaming.StreamCounts, wanted: int | None) -> str | None:
    """Why the capture lost data the device was asked for, or None."""
    if wanted is not None and counts.bytes < wanted:
        return f"got {counts.bytes} of the {wanted} bytes asked for"
    if counts.device_errors:
        return f"the device reported {counts.device_errors} error(s)"
    return None


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
    if interrupted:  # the user stopped it: whatever else happened, say so
        return exit_codes.INTERRUPTED
    if (reason := failure(counts, args.bytes)) is not None:
        print(f"vorn capture: failed: {reason}", file=sys.stderr)
        return exit_codes.FAILURE
    if counts.lost and not args.allow_drops:
        print(f"vorn capture: {counts.lost} chunk(s) dropped (--allow-drops accepts that)",
              file=sys.stderr)
        return exit_codes.DROPS
    return exit_codes.OK
