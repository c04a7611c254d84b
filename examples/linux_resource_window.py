"""Work in a window of a PCIe BAR (a sysfs resource file) with the Linux plug-in.

Dumps the first registers of the window, then writes a block and reads it back:

    python examples/linux_resource_window.py --file /sys/bus/pci/devices/0000:01:00.0/resource0 \\
        --offset 0x1000 --size 0x1000 [--scratch 0x800]
    python examples/linux_resource_window.py --dry-run   # a temporary 64 KiB file stands in

The same options drive /dev/mem (give --size: its size is unknown), with the care the README's
"Driving real hardware" section asks for.
"""

import argparse
import pathlib
import sys
import tempfile

import pyvorn_device

# Installed (pip install .) or built (PYTHONPATH=build), the plug-in ships beside the module.
PLUGIN = (pathlib.Path(pyvorn_device.__file__).resolve().parent
          / "pyvorn_device_plugins" / "libvorn_linux.so")


def open_device(options: str) -> pyvorn_device.Device:
    manager = pyvorn_device.get_device_manager(PLUGIN)
    device = manager.create_device(options) if manager is not None else None
    if device is None:
        raise SystemExit(f"the Linux plug-in gave no device for {options!r}")
    return device


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--file", default="/sys/bus/pci/devices/0000:01:00.0/resource0")
    parser.add_argument("--offset", type=lambda s: int(s, 0), default=0)
    parser.add_argument("--size", type=lambda s: int(s, 0))
    parser.add_argument("--scratch", type=lambda s: int(s, 0),
                        help="window offset of a scratch area for a block write (default: none)")
    parser.add_argument("--dry-run", action="store_true")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        if args.dry_run:
            args.file = pathlib.Path(tmp) / "resource0"
            args.file.write_bytes(bytes(range(256)) * 256)
            args.offset, args.size, args.scratch = 0x1000, 0x1000, 0x800
        options = f"regs={args.file},offset={args.offset}"
        if args.size:
            options += f",size={args.size}"
        dev = open_device(options)
        print(dev.get_status())
        for addr in range(0, 0x20, 4):
            print(f"  {addr:#06x}: {dev.get_register_sync(addr):#010x}")
        if args.scratch is not None:
            block = bytes(range(64))
            if dev.write(args.scratch, block) != len(block):
                print("the scratch block does not fit in the window")
                return 1
            back = bytearray(len(block))
            dev.read(args.scratch, back)
            verdict = "ok" if back == block else "MISMATCH"
            print(f"block of {len(block)} bytes at {args.scratch:#x}: {verdict}")
            return 0 if back == block else 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
