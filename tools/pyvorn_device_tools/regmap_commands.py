"""vorn reg --map and vorn regs: registers and fields by name, from a SystemRDL or IP-XACT map."""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import TYPE_CHECKING

from pyvorn_device_tools import device_commands
from pyvorn_device_tools.target import ToolError, number, open_device, seconds

if TYPE_CHECKING:
    from pyvorn_device_tools.regmap import BoundBlock, BoundField, BoundRegister

EXIT_USAGE = 2


def number_or_name(text: str) -> int | str:
    """A number (as `number` takes it) or a name: a register or field path, an enum name."""
    try:
        return number(text)
    except argparse.ArgumentTypeError:
        if text[:1].isdigit():
            raise
        return text


def interval(text: str) -> float:
    value = seconds(text)
    if not 0.01 <= value <= 3600:
        raise argparse.ArgumentTypeError(f"between 0.01 and 3600 seconds: {text}")
    return value


def add_map_options(parser: argparse.ArgumentParser, required: bool = False) -> None:
    parser.add_argument("--map", metavar="FILE", required=required,
                        help="a SystemRDL (.rdl) or IP-XACT (.xml) register map: names for "
                             "registers and fields")
    parser.add_argument("--base", type=number, default=0,
                        help="the map's address on the device (default 0)")
    parser.add_argument("--top", help="the address map to use if the file defines several")


def _bind(args: argparse.Namespace) -> BoundBlock:
    from pyvorn_device_tools.regmap import RegisterMap, RegisterMapError
    try:
        return RegisterMap.load(args.map, args.top).bind(open_device(args.plugin, args.options),
                                                         args.base)
    except ModuleNotFoundError as e:  # the compiler is an optional dependency
        raise ToolError(f"--map needs {e.name}: pip install 'pyvorn_device[regmap]'") from None
    except RegisterMapError as e:
        raise ToolError(str(e)) from None


def _usage(message: str) -> int:
    print(f"vorn reg: error: {message}", file=sys.stderr)
    return EXIT_USAGE


def reg(args: argparse.Namespace) -> int:
    """A raw address without --map (device_commands.reg), a register or field path with it."""
    if args.map is None:
        for text in (args.addr, args.value):
            if isinstance(text, str):
                return _usage(f"not a number: {text!r} (names need --map)")
        return device_commands.reg(args)
    if args.mask is not None:
        return _usage("MASK is for raw addresses: with --map, name a field to write part of a "
                      "register")
    if not isinstance(args.addr, str):
        return _usage("with --map, name a register or field (such as ctrl.enable)")
    from pyvorn_device_tools.regmap import BoundRegister, RegisterMapError
    try:
        target = _bind(args).lookup(args.addr)
    except KeyError as e:
        raise ToolError(str(e.args[0])) from None
    try:
        if args.value is not None:
            if isinstance(target, BoundRegister) and isinstance(args.value, str):
                return _usage("a register's value is a number; name a field to use its enum "
                              "names")
            target.write(args.value)
            if not target.info.readable:
                print(f"{target.path} written (write-only: not read back)")
                return 0
        print(_describe(target))
    except (RegisterMapError, ValueError, TypeError) as e:
        raise ToolError(str(e)) from None
    return 0


def _describe(target: BoundRegister | BoundField) -> str:
    """The register or field's value, decoded, from one fetch."""
    from pyvorn_device_tools.regmap import BoundField
    if isinstance(target, BoundField):
        raw = target.read()
        return f"{target.path} = {target.info.decode(raw)} ({raw:#x})"
    value = target.read()
    fields = " ".join(f"{f.name}={f.decode(f.extract(value))}"
                      for f in target.info.fields if f.readable)
    return f"{target.path} ({target.address:#010x}) = {value:#010x}  {fields}"


def regs(args: argparse.Namespace) -> int:
    """The table of every register; with --watch, redrawn until Ctrl-C."""
    from pyvorn_device_tools.regmap import RegisterMapError
    from pyvorn_device_tools.regmap.table import render
    block = _bind(args)
    colour = sys.stdout.isatty() and "NO_COLOR" not in os.environ
    previous: dict[int, int | None] | None = None
    try:
        while True:
            readings = block.read_all()
            table = render(readings, colour, previous)
            if not args.watch:
                print(table)
                return 0
            stamp = (f"{args.map} on {args.plugin}, every {args.interval:g} s, "
                     f"{time.strftime('%H:%M:%S')} (Ctrl-C stops)")
            if colour:  # redraw in place
                sys.stdout.write(f"\033[H\033[2J{stamp}\n{table}\n")
            else:
                sys.stdout.write(f"{stamp}\n{table}\n\n")
            sys.stdout.flush()
            previous = {r.address: v for r, v in readings}
            time.sleep(args.interval)
    except RegisterMapError as e:
        raise ToolError(str(e)) from None
    except KeyboardInterrupt:
        if not args.watch:
            raise
        return 0  # how a watch ends
