"""Eight streams at once on eight simulated devices, half delivering ManagedBuffer objects and
half aligned DataView pieces, each with its own chunk size, chunk mode and alignment, while the
main thread keeps setting and reading registers on the same devices. Every delivered byte is
checked against the stream pattern; aligned pieces must be multiples of their alignment except
the last one before the end call. Each stream is short enough to fit in its queue, so nothing may
be dropped: any text event is a failure."""

import random
import threading
import time

import pyvorn_device
from pyvorn_device import DataView, ManagedBuffer, ReturnCode

from stress_common import SIM_PLUGIN, pattern, report

STREAMS = 8
ROUNDS = 10
WAIT = 120  # seconds; only reached when a stream stops delivering


class CheckedStream:
    """Checks one stream's calls against the pattern as they arrive."""

    def __init__(self, index: int, total: int, chunk_size: int, alignment):
        self.index = index
        self.chunk_size = chunk_size
        self.total = total
        self.alignment = alignment
        self.payload_type = ManagedBuffer if alignment is None else DataView
        self.offset = 0
        self.calls = 0
        self.errors = []
        self.ended = threading.Event()
        self.last_piece_short = False

    def fail(self, message: str) -> None:
        if len(self.errors) < 5:
            self.errors.append(f"stream {self.index}: {message}")

    def __call__(self, payload, text):
        self.calls += 1
        if self.ended.is_set():
            self.fail("call after the end call")
            return
        if payload is None and text is None:
            self.ended.set()
            return
        if text is not None:
            self.fail(f"unexpected text {text!r}")
            return
        if type(payload) is not self.payload_type:
            self.fail(f"payload {type(payload).__name__}, expected {self.payload_type.__name__}")
        data = memoryview(payload)
        size = data.nbytes
        if self.alignment is not None:
            if self.last_piece_short:
                self.fail("a short piece was not the last one")
            if size % self.alignment != 0:
                self.last_piece_short = True
        if size == 0:
            self.fail("empty payload")
        elif data != pattern(self.offset, size):
            self.fail(f"bytes {self.offset}..{self.offset + size} differ from the pattern")
        self.offset += size


def exercise_registers(devices, stop: threading.Event) -> int:
    """Sets and reads registers on every device until `stop`; returns the checks made."""
    rng = random.Random(7)
    model = [dict() for _ in devices]
    checks = 0
    while not stop.is_set():
        for device, registers in zip(devices, model):
            addr = rng.randrange(0, 64)
            value = rng.getrandbits(32)
            mask = rng.choice([0xFFFFFFFF, 0x0000FFFF, 0xFF00FF00, rng.getrandbits(32)])
            expected = (registers.get(addr, 0) & ~mask) | (value & mask)
            assert device.set_register_sync(addr, value, mask) == ReturnCode.Success
            registers[addr] = expected
            got = device.get_register_sync(addr)
            assert got == expected, f"register {addr:#x}: read {got!r}, expected {expected:#x}"
            checks += 1
    # A final full read-back of every register set so far.
    for device, registers in zip(devices, model):
        for addr, expected in registers.items():
            assert device.get_register_sync(addr) == expected
            checks += 1
    return checks


def one_round(manager, round_index: int) -> tuple:
    devices, checkers, streams = [], [], []
    for i in range(STREAMS):
        chunk_size = 1000 + 1531 * i + 97 * round_index  # 1000 .. ~11800
        total = 3_000_000 + 12_345 * i  # fewer chunks than the queue's 4096 events
        chunks = "lent" if (i + round_index) % 3 == 0 else "owned"
        device = manager.create_device(f"name=par{i},stream_bytes={total},stream_chunks={chunks}")
        alignment = None if i % 2 == 0 else (1, 4, 7, 4096)[i // 2]
        checker = CheckedStream(i, total, chunk_size, alignment)
        devices.append(device)
        checkers.append(checker)
    for device, checker in zip(devices, checkers):
        if checker.alignment is None:
            stream = device.start_read_stream(0, checker, chunk_size=checker.chunk_size)
        else:
            stream = device.start_aligned_read_stream(0, checker.alignment, checker,
                                                      chunk_size=checker.chunk_size)
        assert stream is not None
        streams.append(stream)

    # The register loop runs until every stream has ended (or the wait is over).
    stop = threading.Event()

    def watch_ends():
        deadline = time.monotonic() + WAIT
        for checker in checkers:
            checker.ended.wait(max(0.0, deadline - time.monotonic()))
        stop.set()

    watcher = threading.Thread(target=watch_ends)
    watcher.start()
    try:
        checks = exercise_registers(devices, stop)
    finally:
        stop.set()
        watcher.join()
    for stream in streams:
        stream.stop()
    for checker in checkers:
        assert not checker.errors, checker.errors
        assert checker.ended.is_set(), f"stream {checker.index} never ended"
        assert checker.offset == checker.total, (
            f"stream {checker.index}: {checker.offset} bytes delivered, {checker.total} sent")
    return sum(c.offset for c in checkers), checks


def main():
    manager = pyvorn_device.get_device_manager(SIM_PLUGIN)
    checked = register_checks = 0
    started = time.monotonic()
    for round_index in range(ROUNDS):
        nbytes, checks = one_round(manager, round_index)
        checked += nbytes
        register_checks += checks
    report(streams=STREAMS * ROUNDS, bytes_checked=checked, register_checks=register_checks,
           seconds=round(time.monotonic() - started, 1))


if __name__ == "__main__":
    main()
