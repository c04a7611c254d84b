"""vorn info, reg, dump and load: one look or one poke at a device."""

import argparse
import sys

from pyvorn_device import ReturnCode

from pyvorn_device_tools.target import (ToolError, UsageError, open_device, open_manager,
                                        plugin_path)

ADDRESS_SPACE = 2**32


def info(args: argparse.Namespace) -> int:
    manager = open_manager(args.plugin)
    if args.options:
        # Some managers list what their options point at: the remote one, the devices that the
        # server it reached publishes (vorn info remote -o "endpoint=tcp://HOST:PORT"), even
        # when the device itself is refused.
        try:
            manager.create_device(args.options)
        except (ValueError, RuntimeError) as error:
            print(f"device:    {error}")
    print(f"plug-in:   {plugin_path(args.plugin).resolve()}")
    print(f"info:      {manager.info()}")
    print(f"location:  {manager.location()}")
    print(f"devices:   {manager.list_devices()}")
    print("options:")
    for line in manager.get_device_options().splitlines():
        print(f"    {line}")
    return 0


def reg(args: argparse.Namespace) -> int:
    device = open_device(args.plugin, args.options)
    if args.value is not None:
        mask = 0xFFFF_FFFF if args.mask is None else args.mask
        if device.set_register_sync(args.addr, args.value, mask) != ReturnCode.Success:
            raise ToolError(f"writing {args.value:#x} through mask {mask:#x} to the register at "
                            f"{args.addr:#x}: the device returned Failure")
    value = device.get_register_sync(args.addr)
    if value is None:
        raise ToolError(f"reading the register at {args.addr:#x}: the device returned Failure")
    print(f"{args.addr:#010x} = {value:#010x} ({value})")
    return 0


def hexdump(data: bytes, base: int) -> None:
    for offset in range(0, len(data), 16):
        row = data[offset:offset + 16]
        text = "".join(chr(b) if 32 <= b < 127 else "." for b in row)
        print(f"{base + offset:08x}  {row.hex(' '):<47}  |{text}|")


def within_address_space(addr: int, length: int) -> None:
    if addr + length > ADDRESS_SPACE:
        raise UsageError(f"{length} bytes at {addr:#x} run past the 32-bit address space")


def dump(args: argparse.Namespace) -> int:
    within_address_space(args.addr, args.length)
    device = open_device(args.plugin, args.options)
    data = bytearray(args.length)
    got = device.read(args.addr, data)
    if args.file is None:
        hexdump(bytes(data[:got]), args.addr)
    elif args.file == "-":
        sys.stdout.buffer.write(data[:got])
    else:
        with open(args.file, "wb") as out:
            out.write(data[:got])
    if got != args.length:
        raise ToolError(f"reading {args.length} bytes at {args.addr:#x}: the device returned "
                        f"{got} (short read: {got} of {args.length} bytes)")
    return 0


def load(args: argparse.Namespace) -> int:
    device = open_device(args.plugin, args.options)
    if args.file == "-":
        data = sys.stdin.buffer.read()
    else:
        with open(args.file, "rb") as source:
            data = source.read()
    if not data:
        raise ToolError(f"{args.file}: nothing to write (the file is empty)")
    within_address_space(args.addr, len(data))
    put = device.write(args.addr, data)
    print(f"wrote {put} of {len(data)} bytes at {args.addr:#x}", file=sys.stderr)
    if put != len(data):
        raise ToolError(f"writing {len(data)} bytes at {args.addr:#x}: the device returned "
                        f"{put} (short write: {put} of {len(data)} bytes)")
    return 0
