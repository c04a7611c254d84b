"""A callback that needs about half a millisecond per data call (for the whole stream, or for
its first 60 %) against a device that produces 4,000 chunks a second into a queue limited to 64
events. Every chunk carries its sequence number (sim option stream_stamp), so what arrives can be
reconciled exactly with what was produced: each chunk is either delivered once, in order, or lost,
and each run of consecutive lost chunks is replaced in its place by exactly one "Queue Overflow,
dropping event" text. The end marker is never dropped: it comes once, last. The stream's
statistics count every lost chunk."""

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
    """Walks the deliveries against the produced order; returns (data delivered, texts)."""
    expected = 0  # the produced chunk the next data delivery stands for, unless after a text
    data = texts = 0
    after_text = False
    assert items and items[-1] == END and items.count(END) == 1, "the end call comes once, last"
    for position, item in enumerate(items[:-1]):
        if item == TEXT:
            assert not after_text, f"delivery {position}: two texts for one run of losses"
            texts += 1
            after_text = True
            continue
        if after_text:
            assert item > expected, f"delivery {position}: a text where nothing was lost"
        else:
            assert item == expected, (
                f"delivery {position}: chunk {item} where chunk {expected} was due")
        data += 1
        expected = item + 1
        after_text = False
    assert expected == chunks or after_text, "chunks lost at the end without a text"
    return data, texts


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
    wait_until(lambda: END in recorder.items, SECONDS + WAIT, "the end call", interval=0.01)
    elapsed = time.monotonic() - started
    stream.stop()
    items = list(recorder.items)
    assert not recorder.errors, recorder.errors[:5]
    data, texts = reconcile(items, chunks)
    assert texts > 0, "the slow callback never made the queue overflow"
    dropped = stream.statistics()["dropped"]
    assert data + dropped == chunks, f"{data} delivered and {dropped} dropped of {chunks}"
    # Nothing arrives after stop() has returned.
    assert len(recorder.items) == len(items)
    name = "aligned" if aligned else "plain"
    return {f"{name}_produced": chunks + 1, f"{name}_delivered": data + 1,
            f"{name}_dropped": dropped, f"{name}_overflow_texts": texts,
            f"{name}_reconciled": True, f"{name}_seconds": round(elapsed, 1)}


def main():
    manager = pyvorn_device.get_device_manager(SIM_PLUGIN)
    figures = {}
    # Slow to the end: the queue is full when the end marker comes, which is queued all the same.
    figures.update(one_run(manager, aligned=False, slow_fraction=1.0))
    # Slow for the first 60 %: the queue drains before the end, whose call then arrives.
    figures.update(one_run(manager, aligned=True, slow_fraction=0.6))
    report(**figures)


if __name__ == "__main__":
    main()
