"""One stream into a sink, counted: shared by `vorn capture` and `vorn bench`."""

import dataclasses
import re
import sys
import threading
import time
from typing import BinaryIO

import pyvorn_device

# The texts the module's queue delivers in place of events it had to drop.
DROP_TEXTS = {
    "Queue Overflow, dropping event": "dropped",
    "Memory Allocation Failure, dropping event": "allocation_failures",
}
# A remote server's text for a run of chunks it could not send on; each counts as a drop.
REMOTE_DROPS = re.compile(r"remote: (\d+) chunks dropped by the server")


@dataclasses.dataclass
class StreamCounts:
    events: int = 0
    bytes: int = 0
    dropped: int = 0
    remote_dropped: int = 0
    allocation_failures: int = 0
    device_errors: int = 0
    last_device_error: str = ""
    ended: bool = False  # the device sent its end marker

    @property
    def lost(self) -> int:
        return self.dropped + self.remote_dropped + self.allocation_failures

    def take_losses(self, stream: pyvorn_device.DataStream) -> None:
        """The module counts each lost event when it is lost, where its text stands for a whole
        run of them: its counts win over the texts counted so far."""
        statistics = stream.statistics()
        self.dropped = max(self.dropped, statistics["dropped"])
        self.allocation_failures = max(self.allocation_failures,
                                       statistics["allocation_failures"])


def count_error(counts: StreamCounts, text: str) -> None:
    """The one place that reads error texts. A queue's drop text stands for a run of lost events;
    `StreamCounts.take_losses` brings in how many."""
    field = DROP_TEXTS.get(text)
    if field is None and (remote := REMOTE_DROPS.fullmatch(text)) is not None:
        counts.remote_dropped += int(remote.group(1))
    elif field is None:
        counts.device_errors += 1
        counts.last_device_error = text
    else:
        setattr(counts, field, getattr(counts, field) + 1)


class Receiver:
    """The stream callback: runs on the delivery thread, writes at most `limit` bytes to `sink`
    (None: count only) and sets `done` at the limit, at the end marker or on a write error."""

    def __init__(self, sink: BinaryIO | None, limit: int | None) -> None:
        self.sink = sink
        self.limit = limit
        self.counts = StreamCounts()
        self.done = threading.Event()
        self.write_error: OSError | None = None

    def __call__(self, data: object, error: str | None) -> None:
        if self.done.is_set():
            return
        if data is not None:
            view = memoryview(data)  # type: ignore[arg-type]
            if self.limit is not None:
                view = view[: self.limit - self.counts.bytes]
            try:
                if self.sink is not None:
                    self.sink.write(view)
            except OSError as e:
                self.write_error = e
                self.done.set()
                return
            self.counts.events += 1
            self.counts.bytes += len(view)
            if self.limit is not None and self.counts.bytes >= self.limit:
                self.done.set()
        elif error is not None:
            count_error(self.counts, error)
        else:
            self.counts.ended = True
            self.done.set()


def start(device: pyvorn_device.Device, receiver: Receiver, addr: int, chunk_size: int,
          align: int | None, max_queue: int) -> pyvorn_device.DataStream | None:
    if align:
        return device.start_aligned_read_stream(addr, align, receiver, chunk_size=chunk_size,
                                                max_queue_elements=max_queue)
    return device.start_read_stream(addr, receiver, chunk_size=chunk_size,
                                    max_queue_elements=max_queue)


class Progress:
    """A redrawn line on a terminal, a plain line a second elsewhere (both on stderr)."""

    def __init__(self, goal_bytes: int | None, goal_seconds: float | None, quiet: bool) -> None:
        self.goal_bytes = goal_bytes
        self.goal_seconds = goal_seconds
        self.quiet = quiet
        self.tty = sys.stderr.isatty()
        self.last = 0.0

    def show(self, counts: StreamCounts, elapsed: float) -> None:
        if self.quiet or (not self.tty and elapsed - self.last < 1.0):
            return
        self.last = elapsed
        rate = counts.bytes / elapsed / 1e6 if elapsed > 0 else 0.0
        line = (f"{counts.bytes / 1e6:10.1f} MB  {rate:8.1f} MB/s  drops {counts.lost}  "
                f"device errors {counts.device_errors}")
        if self.tty:
            if self.goal_bytes:
                fraction = counts.bytes / self.goal_bytes
            else:
                fraction = elapsed / self.goal_seconds if self.goal_seconds else 0.0
            filled = int(min(fraction, 1.0) * 20)
            print(f"\r[{'#' * filled}{' ' * (20 - filled)}] {line}", end="", file=sys.stderr,
                  flush=True)
        else:
            print(f"{elapsed:6.1f} s {line}", file=sys.stderr, flush=True)

    def close(self) -> None:
        if self.tty and not self.quiet and self.last:
            print(file=sys.stderr)


def run(stream: pyvorn_device.DataStream, receiver: Receiver, seconds: float | None,
        progress: Progress) -> tuple[float, bool]:
    """Waits for the receiver, the time limit or Ctrl-C, then stops the stream. Returns the
    elapsed seconds and whether Ctrl-C ended it."""
    began = time.monotonic()
    interrupted = False
    with stream:  # stops the stream on every way out; nothing is delivered after stop()
        try:
            while not receiver.done.wait(0.1):
                receiver.counts.take_losses(stream)
                elapsed = time.monotonic() - began
                progress.show(receiver.counts, elapsed)
                if seconds is not None and elapsed >= seconds:
                    break
        except KeyboardInterrupt:
            interrupted = True
    receiver.counts.take_losses(stream)  # final: nothing is delivered now
    elapsed = time.monotonic() - began
    progress.show(receiver.counts, elapsed)
    progress.close()
    return elapsed, interrupted
