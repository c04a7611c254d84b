"""Poke registers of FPGA or SoC logic through UIO with the Linux plug-in.

Reads a register, optionally writes it (masked), reads it back:

    python examples/linux_uio_poke.py --node /dev/uio0 --map 0 --addr 0x10 \\
        [--value 0x1 --mask 0x1]
    python examples/linux_uio_poke.py --dry-run   # a temporary file and sysfs tree stand in

The map's size and offset come from /sys/class/uio/uioN/maps/mapM. The dry run builds such a
tree in a temporary directory and points the plug-in at it with VORN_LINUX_SYSFS_ROOT (a
variable meant for tests and dry runs only).
"""

import argparse
import os
import pathlib
import sys
import tempfile

import pyvorn_device

# Installed (pip install .) or built (PYTHONPATH=build), the plug-in ships beside the module.
PLUGIN = (pathlib.Path(pyvorn_device.__file__).resolve().parent
          / "pyvorn_device_plugins" / "libvorn_linux.so")


def fake_uio(root: pathlib.Path) -> pathlib.Path:
    """A 4 KiB "uio0" with one map and its sysfs description."""
    node = root / "uio0"
    node.write_bytes(bytes(4096))
    maps = root / "sys" / "class" / "uio" / "uio0" / "maps" / "map0"
    maps.mkdir(parents=True)
    (maps.parent.parent / "name").write_text("dry_run_fpga\n")
    for key, value in (("name", "regs"), ("addr", "0x40000000"), ("size", "0x1000"),
                       ("offset", "0x0")):
        (maps / key).write_text(value + "\n")
    os.environ["VORN_LINUX_SYSFS_ROOT"] = str(root / "sys")
    return node


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--node", default="/dev/uio0")
    parser.add_argument("--map", type=int, default=0)
    parser.add_argument("--addr", type=lambda s: int(s, 0), default=0x10)
    parser.add_argument("--value", type=lambda s: int(s, 0))
    parser.add_argument("--mask", type=lambda s: int(s, 0), default=0xFFFFFFFF)
    parser.add_argument("--dry-run", action="store_true")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as tmp:
        node = fake_uio(pathlib.Path(tmp)) if args.dry_run else args.node
        if args.dry_run and args.value is None:
            args.value = 0xC0FFEE
        manager = pyvorn_device.get_device_manager(PLUGIN)
        if manager is None:
            raise SystemExit(f"no device manager in {PLUGIN}")
        print(manager.list_devices())
        dev = manager.create_device(f"regs={node},uio_map={args.map}")
        if dev is None:
            raise SystemExit("the Linux plug-in gave no device")
        print(dev.get_status())
        print(f"read  {args.addr:#06x}: {dev.get_register_sync(args.addr)!r}")
        if args.value is not None:
            done = dev.set_register_sync(args.addr, args.value, args.mask)
            if done != pyvorn_device.ReturnCode.Success:
                print(f"{args.addr:#x} is not a register of this map")
                return 1
            print(f"wrote {args.addr:#06x}: {args.value:#x} (mask {args.mask:#x})")
            print(f"read  {args.addr:#06x}: {dev.get_register_sync(args.addr):#x}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
