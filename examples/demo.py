"""A first tour of pyvorn_device on the simulated device plug-in.

Loads the plug-in, shows what its manager offers, creates a device, does a register round trip
and a trigger, moves a block of bytes to the device and back, then streams a few seconds of data
through the aligned stream and checks every byte against the device's pattern.

    python examples/demo.py [--plugin PATH] [--seconds N] [--options TEXT]
"""

import argparse
import pathlib
import sys
import threading
import time

import pyvorn_device

PATTERN_PERIOD = 251  # the simulated device streams byte[i] = i % 251
TRIGGER_COUNT_REGISTER = 0xFFFF0000
ALIGNMENT = 4096
CHUNK_SIZE = 10_000  # deliberately not a multiple of the alignment


def find_sim_plugin() -> pathlib.Path:
    """The simulated plug-in ships beside the module, installed or in the build tree."""
    here = pathlib.Path(pyvorn_device.__file__).resolve().parent
    candidate = here / "pyvorn_device_plugins" / "libvorn_sim.so"
    if not candidate.exists():
        sys.exit(f"simulated plug-in not found at {candidate}; pass --plugin PATH")
    return candidate


def section(title: str) -> None:
    print(f"\n\033[1m{title}\033[0m")


def show_manager(manager: pyvorn_device.DeviceManager) -> None:
    section("Device manager")
    print(f"info:      {manager.info()}")
    print(f"location:  {manager.location()}")
    print(f"devices:   {manager.list_devices()}")
    print("options:")
    for line in manager.get_device_options().splitlines():
        print(f"    {line}")


def check(ok: bool, what: str) -> bool:
    print(f"  [{'ok' if ok else 'FAILED'}] {what}")
    return ok


def register_round_trip(device: pyvorn_device.Device) -> bool:
    section("Registers and a trigger")
    ok = True
    ok &= check(device.set_register(0x10, 0xCAFE, 0xFFFF) == pyvorn_device.ReturnCode.Success,
                "set_register(0x10, 0xCAFE, mask 0xFFFF) staged")
    ok &= check(device.send_registers() == pyvorn_device.ReturnCode.Success, "send_registers()")
    ok &= check(device.read_registers() == pyvorn_device.ReturnCode.Success, "read_registers()")
    value = device.get_register(0x10)
    ok &= check(value == 0xCAFE, f"get_register(0x10) = {value:#x}")
    ok &= check(device.set_register_sync(0x10, 0xBE00_0000, 0xFF00_0000)
                == pyvorn_device.ReturnCode.Success,
                "set_register_sync(0x10, 0xBE000000, mask 0xFF000000)")
    synced = device.get_register_sync(0x10)  # None when the fetch fails
    ok &= check(synced == 0xBE00_CAFE, f"get_register_sync(0x10) = {synced if synced is None else hex(synced)} (mask kept the low bits)")
    before = device.get_register_sync(TRIGGER_COUNT_REGISTER)
    ok &= check(device.trigger(3, -1) == pyvorn_device.ReturnCode.Success, "trigger(3, -1)")
    after = device.get_register_sync(TRIGGER_COUNT_REGISTER)
    ok &= check(before is not None and after == before + 1, f"trigger counter {before} -> {after}")
    print(f"  status: {device.get_status()}")
    return ok


def block_round_trip(device: pyvorn_device.Device) -> bool:
    section("Block transfer")
    payload = bytes(range(256)) * 64
    written = device.write(0x2000, payload)
    back = bytearray(len(payload))
    read = device.read(0x2000, back)
    return check(written == read == len(payload) and back == payload,
                 f"wrote {written} bytes to 0x2000, read {read} back, identical")


class PatternChecker:
    """Checks aligned pieces against the device's pattern on the delivery thread."""

    def __init__(self) -> None:
        self.pattern = bytes(range(PATTERN_PERIOD)) * ((1 << 20) // PATTERN_PERIOD + 2)
        self.phase = 0  # offset % 251 of the next expected byte
        self.resync = False
        self.unchecked = 0
        self.bytes = 0
        self.pieces = 0
        self.drops = 0
        self.errors: list[str] = []
        self.bad_pieces = 0
        self.misaligned = 0
        self.ended = threading.Event()

    def __call__(self, view: pyvorn_device.DataView | None, text: str | None) -> None:
        if view is None:
            if text is None:
                self.ended.set()
            elif "Overflow" in text or "Allocation" in text:
                self.drops += 1
                self.resync = True
            else:
                self.errors.append(text)
            return
        data = memoryview(view)
        size = data.nbytes
        if self.resync:
            # Bytes were dropped: the piece after the gap may join bytes from both sides of it,
            # so it is not checked; the next one continues from its last byte.
            self.resync = False
            self.unchecked += 1
        elif size > len(self.pattern) - self.phase or data != self.pattern[self.phase:self.phase + size]:
            self.bad_pieces += 1
        if size % ALIGNMENT != 0:
            self.misaligned += 1
        self.phase = (data[size - 1] + 1) % PATTERN_PERIOD if size else self.phase
        self.bytes += size
        self.pieces += 1


def stream_and_check(device: pyvorn_device.Device, seconds: float) -> bool:
    section(f"Aligned stream for {seconds:g} s (alignment {ALIGNMENT}, device chunks {CHUNK_SIZE} B)")
    checker = PatternChecker()
    start = time.monotonic()
    last_line = 0.0
    live = sys.stdout.isatty()  # redraw one line on a terminal, print a line a second elsewhere
    stream = device.start_aligned_read_stream(0, ALIGNMENT, checker, chunk_size=CHUNK_SIZE)
    if stream is None:
        return check(False, "the device refused the stream")
    with stream:
        while (elapsed := time.monotonic() - start) < seconds:
            time.sleep(0.1)
            if elapsed - last_line >= (0.25 if live else 1.0):
                last_line = elapsed
                rate = checker.bytes / elapsed / 1e6
                print(f"{'\r' if live else ''}  {checker.bytes / 1e6:10.1f} MB  {rate:8.1f} MB/s  "
                      f"{checker.pieces:8d} events  {checker.drops:6d} drops",
                      end="" if live else "\n", flush=True)
    elapsed = time.monotonic() - start
    if live:
        print()
    checked = checker.pieces - checker.unchecked
    ok = check(checker.bad_pieces == 0 and checked > 0,
               f"{checked} of {checker.pieces} pieces checked against the pattern, "
               f"{checker.bad_pieces} mismatched ({checker.unchecked} straddled a drop)")
    ok &= check(checker.misaligned == 0, f"every piece is a multiple of {ALIGNMENT} bytes")
    ok &= check(not checker.errors, "no device errors")
    print(f"  summary: {checker.bytes / 1e6:.1f} MB in {elapsed:.2f} s "
          f"({checker.bytes / elapsed / 1e6:.1f} MB/s), {checker.pieces} events, {checker.drops} drops")
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--plugin", type=pathlib.Path, help="device-manager plug-in to load")
    parser.add_argument("--seconds", type=float, default=3.0, help="how long to stream")
    parser.add_argument("--options", default="name=demo stream_rate=20000",
                        help="options text for create_device (stream_rate paces the device)")
    args = parser.parse_args()

    plugin = args.plugin or find_sim_plugin()
    print(f"pyvorn_device: {pyvorn_device.__doc__}\nplug-in: {plugin}")
    manager = pyvorn_device.get_device_manager(plugin)
    if manager is None:
        sys.exit(f"{plugin}: the plug-in returned no device manager")
    show_manager(manager)

    section("Device")
    device = manager.create_device(args.options)
    if device is None:
        sys.exit(f"the plug-in created no device for options {args.options!r}")
    print(f"created {device!r} from options {args.options!r}: {device.get_info()}")

    ok = register_round_trip(device)
    ok &= block_round_trip(device)
    ok &= stream_and_check(device, args.seconds)

    section("Result")
    print("all checks passed" if ok else "SOME CHECKS FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
