"""A callback that needs about half a millisecond per data call (for the whole stream, or for
its first 60 %) against a device that produces 4,000 chunks a second into a queue limited to 64
events. Every chunk carries its sequence number (sim option stream_stamp), so what arrives can be
reconciled exactly with what was produced: each produced event (every chunk, then the end marker)
is either delivered once, in order, or replaced in its place by exactly one "Queue Overflow,
dropping event" text. When the end marker itself is dropped no end call comes; the stream is then
complete once the delivered data calls and the texts add up to the chunks produced plus one."""

import struct
import time

import pyvorn_device
from pyvorn_device import DataView, ManagedBuffer

from stress_common import OVERFLOW, SIM_PLUGIN, pattern, report, wait_until

CHUNK = 64
RATE = 4000  # chunks per second
SECONDS = 2.5  # per run
CALLBACK_SLEEP = 0.0005  # seconds per data call
MAX_QUEUE = 64
WAIT = 120  # seconds; only reached when delivery stalls

TEXT, END = -1, -2


class SlowRecorder:
    def __init__(self, payload_type, slow_until: int):
        self.payload_type = payload_type
        self.slow_until = slow_until  # chunks from this sequence number on are taken at once
        self.items = []  # sequence numbers, TEXT or END, in delivery order
        self.errors = []

    def __call__(self, payload, text):
        if payload is None:
            if text is None:
                self.items.append(END)
            elif text == OVERFLOW:
                self.items.append(TEXT)
            else:
                self.errors.append(f"unexpected text {text!r}")
            return
        if type(payload) is not self.payload_type:
            self.errors.append(f"payload of type {type(payload).__name__}")
        data = bytes(payload)
        if len(data) != CHUNK:
            self.errors.append(f"chunk of {len(data)} bytes")
            return
        sequence = struct.unpack_from("<Q", data)[0]
        # Past the 16 stamped bytes the chunk still carries the pattern at its stream offset.
        if data[16:] != pattern(sequence * CHUNK + 16, CHUNK - 16):
            self.errors.append(f"chunk {sequence}: pattern bytes differ")
        self.items.append(sequence)
        if sequence < self.slow_until:
            time.sleep(CALLBACK_SLEEP)

    def accounted(self) -> int:
        return len(self.items)


def reconcile(items, chunks: int) -> tuple:
    """Walks the deliveries against the produced order; returns (data delivered, texts, whether
    the end marker was delivered)."""
    expected = 0  # the produced event the next delivery stands for
    data = texts = 0
    end_delivered = False
    for position, item in enumerate(items):
        assert not end_delivered, f"delivery {position} came after the end call"
        if item == TEXT:
            texts += 1
        elif item == END:
            assert expected == chunks, (
                f"end call where produced event {expected} was due ({chunks} chunks)")
            end_delivered = True
        else:
            assert item == expected, (
                f"delivery {position}: chunk {item} where produced event {expected} was due")
            data += 1
        expected += 1
    assert expected == chunks + 1, (
        f"{expected} of {chunks + 1} produced events accounted for")
    return data, texts, end_delivered


def one_run(manager, aligned: bool, slow_fraction: float) -> dict:
    chunks = int(RATE * SECONDS)
    chunk_mode = "lent" if aligned else "owned"
    device = manager.create_device(
        f"stream_stamp=1,stream_rate={RATE},stream_bytes={chunks * CHUNK},"
        f"stream_chunks={chunk_mode}")
    recorder = SlowRecorder(DataView if aligned else ManagedBuffer, int(chunks * slow_fraction))
    started = time.monotonic()
    if aligned:
        # Alignment equal to the chunk size: every piece is exactly one chunk.
        stream = device.start_aligned_read_stream(0, CHUNK, recorder, chunk_size=CHUNK,
                                                  max_queue_elements=MAX_QUEUE)
    else:
        stream = device.start_read_stream(0, recorder, chunk_size=CHUNK,
                                          max_queue_elements=MAX_QUEUE)
    # Every produced event shows up as one delivery: a chunk, a text in its place, or the end.
    wait_until(lambda: recorder.accounted() >= chunks + 1, SECONDS + WAIT,
               "every produced event to be accounted for", interval=0.01)
    elapsed = time.monotonic() - started
    stream.stop()
    items = list(recorder.items)
    assert not recorder.errors, recorder.errors[:5]
    data, texts, end_delivered = reconcile(items, chunks)
    assert texts > 0, "the slow callback never made the queue overflow"
    # Nothing arrives after stop() has returned.
    assert len(recorder.items) == len(items)
    name = "aligned" if aligned else "plain"
    return {f"{name}_produced": chunks + 1, f"{name}_delivered": data + end_delivered,
            f"{name}_dropped": texts, f"{name}_end_delivered": end_delivered,
            f"{name}_reconciled": True, f"{name}_seconds": round(elapsed, 1)}


def main():
    manager = pyvorn_device.get_device_manager(SIM_PLUGIN)
    figures = {}
    # Slow to the end: the queue is full when the end marker comes, so it is dropped too.
    figures.update(one_run(manager, aligned=False, slow_fraction=1.0))
    # Slow for the first 60 %: the queue drains before the end, whose call then arrives.
    figures.update(one_run(manager, aligned=True, slow_fraction=0.6))
    report(**figures)


if __name__ == "__main__":
    main()
