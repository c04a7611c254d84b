"""Stream from a character device (a DMA engine, a data converter, a FIFO) with the Linux plug-in.

Counts bytes for a while and prints the rate:

    python examples/linux_stream.py --device /dev/xdma0_c2h_0 --seconds 5 [--chunk-size 65536]
    python examples/linux_stream.py --dry-run   # a temporary 16 MB file stands in

A seekable device is read from --addr (its card address); a FIFO, socket or pipe needs addr 0.
The stream ends at the device's end of file, on a read error (delivered as a text), or after
--seconds.
"""

import argparse
import os
import pathlib
import sys
import tempfile
import threading
import time

import pyvorn_device

# Installed (pip install .) or built (PYTHONPATH=build), the plug-in ships beside the module.
PLUGIN = (pathlib.Path(pyvorn_device.__file__).resolve().parent
          / "pyvorn_device_plugins" / "libvorn_linux.so")


class Rate:
    def __init__(self) -> None:
        self.bytes = 0
        self.ended = threading.Event()

    # On the stream's delivery thread.
    def __call__(self, payload: pyvorn_device.ManagedBuffer | None, text: str | None) -> None:
        if payload is not None:
            self.bytes += memoryview(payload).nbytes
        elif text is not None:
            print("device says:", text)
        else:
            self.ended.set()


def open_device(options: str) -> pyvorn_device.Device:
    manager = pyvorn_device.get_device_manager(PLUGIN)
    device = manager.create_device(options) if manager is not None else None
    if device is None:
        raise SystemExit(f"the Linux plug-in gave no device for {options!r}")
    return device


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--device", default="/dev/xdma0_c2h_0")
    parser.add_argument("--addr", type=lambda s: int(s, 0), default=0)
    parser.add_argument("--seconds", type=float, default=5.0)
    parser.add_argument("--chunk-size", type=int, default=0, help="bytes per read(); 0: 65536")
    parser.add_argument("--dry-run", action="store_true")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        if args.dry_run:
            args.device = pathlib.Path(tmp) / "c2h.bin"
            args.device.write_bytes(os.urandom(16 << 20))
        dev = open_device(f"stream={args.device}")
        rate = Rate()
        start = time.monotonic()
        stream = dev.start_read_stream(args.addr, rate, chunk_size=args.chunk_size)
        if stream is None:
            raise SystemExit("the device refused the stream")
        with stream:
            ended = rate.ended.wait(args.seconds)
        elapsed = time.monotonic() - start
        print(f"{rate.bytes:,} bytes in {elapsed:.2f} s ({rate.bytes / elapsed / 1e6:.1f} MB/s)"
              + (", then the end of the stream" if ended else ""))
        print(dev.get_status())
    return 0


if __name__ == "__main__":
    sys.exit(main())
