"""A device stream as PVs: NAME posts the chunks as arrays (at most max_rate a second), with
NAME:rate, NAME:dropped and NAME:running beside it."""

import time
from typing import Any

import numpy

import pyvorn_device

from pyvorn_device_tools.pva.pvs import MAJOR, MINOR, ChangePoster, PutGate, array_pv, scalar_pv
from pyvorn_device_tools.pva.config import DTYPES, StreamConfig
from pyvorn_device_tools.streaming import DROP_TEXTS


class StreamPVs:
    """start(), stop(), poll() and the running PV's put run on the device thread; on_data runs
    on the stream's delivery thread. The delivery thread alone writes `skipped` and
    `last_error` (a stopped stream delivers nothing more), the device thread only reads them."""

    def __init__(self, device: pyvorn_device.Device, config: StreamConfig, prefix: str,
                 gate: PutGate) -> None:
        self.device = device
        self.config = config
        numpy_code, pva_code = DTYPES[config.dtype]
        self.dtype = numpy.dtype(numpy_code)
        self.interval = 1.0 / config.max_rate if config.max_rate else 0.0
        name = prefix + config.name
        self.data = array_pv(pva_code, f"stream at {config.addr:#x} as {config.dtype}")
        self.rate = scalar_pv("d", 0.0, "chunks a second from the device", gate.handler(None))
        self.dropped = scalar_pv("L", 0, "chunks not posted: lost in the queue or above max_rate",
                                 gate.handler(None))
        self.running = scalar_pv("?", False, "put 1 to start, 0 to stop",
                                 gate.handler(self.put_running))
        self.pvs = {name: self.data, name + ":rate": self.rate, name + ":dropped": self.dropped,
                    name + ":running": self.running}
        self.posters = {pv: ChangePoster(pv) for pv in (self.rate, self.dropped, self.running)}
        self.stream: pyvorn_device.DataStream | None = None
        self.refused = False
        self.skipped = 0  # chunks not posted because of max_rate
        self.last_error = ""
        self.next_post = 0.0
        self.past_events = self.past_lost = 0  # of streams stopped before this one
        self.seen_events, self.seen_at = 0, time.monotonic()

    def on_data(self, view: pyvorn_device.DataView | None, error: str | None) -> None:
        if view is not None:
            now = time.monotonic()
            if now < self.next_post:
                self.skipped += 1
                return
            # Keep the schedule while on time; after a quiet spell start it afresh rather than
            # catch up with a burst.
            late = now - self.next_post >= self.interval
            self.next_post = (now if late else self.next_post) + self.interval
            # post() copies the elements: the view is lent for this call only.
            self.data.post(numpy.frombuffer(view, self.dtype), timestamp=time.time())
        elif error is not None and error not in DROP_TEXTS:
            self.last_error = error

    def start(self) -> None:
        if self.stream is not None:
            return
        self.next_post = 0.0
        self.last_error = ""
        self.stream = self.device.start_aligned_read_stream(
            self.config.addr, self.config.alignment, self.on_data, chunk_size=self.config.chunk,
            max_queue_elements=self.config.queue_elements)
        self.refused = self.stream is None

    def stop(self) -> None:
        if self.stream is None:
            return
        self.stream.stop()  # waits for the callback in progress; nothing is delivered after
        stats = self.stream.statistics()
        self.past_events += stats["events"]
        self.past_lost += stats["dropped"] + stats["allocation_failures"]
        self.stream = None

    def counts(self) -> tuple[int, int, bool]:
        """Events seen, chunks not posted, and whether the stream runs."""
        events, lost, running = self.past_events, self.past_lost + self.skipped, False
        if self.stream is not None:
            stats = self.stream.statistics()
            events += stats["events"]
            lost += stats["dropped"] + stats["allocation_failures"]
            running = stats["running"]
        return events, lost, running

    def poll(self) -> None:
        events, lost, running = self.counts()
        now = time.monotonic()
        rate = (events - self.seen_events) / (now - self.seen_at) if now > self.seen_at else 0.0
        self.seen_events, self.seen_at = events, now
        self.posters[self.rate].show(round(rate, 1))
        self.posters[self.dropped].show(lost)
        if self.refused:
            self.posters[self.running].show(False, MAJOR, "the device refused the stream")
        elif self.last_error:
            self.posters[self.running].show(running, MINOR, f"device: {self.last_error}")
        else:
            self.posters[self.running].show(running)

    def put_running(self, put: Any) -> None:
        if bool(put):
            if self.stream is not None and not self.stream.statistics()["running"]:
                self.stop()  # ended by the device: start afresh
            self.start()
        else:
            self.stop()
        self.poll()
