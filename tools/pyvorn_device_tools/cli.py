"""The `vorn` command: look at a device, poke it, stream from it, check a plug-in.

Exit status: 0 success; 1 a failure (plug-in does not load, a call returns Failure, a short
transfer, a FAIL of `vorn check`); 2 a usage error, or for `capture` chunks dropped (unless
--allow-drops); 130 interrupted with Ctrl-C.
"""

import argparse
import os
import sys
from collections.abc import Callable

from pyvorn_device_tools import bench, capture, check, device_commands, sdk
from pyvorn_device_tools.target import ToolError, count, number

# Names for registers and fields (reg --map, regs); it imports its compiler only when used.
from pyvorn_device_tools import regmap_commands

Command = Callable[[argparse.Namespace], int]


def add(commands: "argparse._SubParsersAction[argparse.ArgumentParser]", name: str,
        run: Command, summary: str, example: str,
        device: bool = True) -> argparse.ArgumentParser:
    parser = commands.add_parser(name, help=summary, description=summary,
                                 epilog=f"example:\n  {example}",
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.set_defaults(run=run)
    if device:
        parser.add_argument("plugin", metavar="PLUGIN",
                            help="path of a plug-in, or the name of one shipped with the module "
                                 "(sim)")
        parser.add_argument("-o", "--options", default="", help="device options text")
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vorn", description=__doc__,
                                     epilog="examples:\n  vorn info sim\n  vorn reg sim 0x10 0xCAFE"
                                            "\n  vorn capture --help",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(required=True, metavar="COMMAND")

    p = add(commands, "info", device_commands.info,
            "the manager's info, location, device list and options text", "vorn info sim")
    p.set_defaults(options="")

    p = add(commands, "reg", regmap_commands.reg,
            "read one register, or write it (through its mask) and read it back; with --map, "
            "a register or field by name",
            "vorn reg sim 0x10 0xCAFE\n  vorn reg sim ctrl.mode burst --map board.rdl")
    p.add_argument("addr", metavar="ADDR", type=regmap_commands.number_or_name,
                   help="an address, or with --map a register or field path")
    p.add_argument("value", metavar="VALUE", type=regmap_commands.number_or_name, nargs="?",
                   help="with --map, a field's enum name too")
    p.add_argument("mask", metavar="MASK", type=number, nargs="?", help="default 0xFFFFFFFF")
    regmap_commands.add_map_options(p)

    p = add(commands, "regs", regmap_commands.regs,
            "every register of a map with its decoded fields; --watch redraws it, changes "
            "highlighted, until Ctrl-C", "vorn regs sim --map board.rdl --watch")
    regmap_commands.add_map_options(p, required=True)
    p.add_argument("--watch", action="store_true",
                   help="redraw at an interval until Ctrl-C (then exit status 0)")
    p.add_argument("--interval", type=regmap_commands.interval, default=1.0,
                   help="seconds between redraws (default 1)")

    p = add(commands, "dump", device_commands.dump,
            "read a block from the device: a hexdump, or the bytes to a file ('-': stdout)",
            "vorn dump sim 0x2000 256 -f block.bin")
    p.add_argument("addr", metavar="ADDR", type=number)
    p.add_argument("length", metavar="LENGTH", type=count)
    p.add_argument("-f", "--file", help="output file, '-' for stdout (default: a hexdump)")

    p = add(commands, "load", device_commands.load,
            "write a file's bytes to the device ('-': stdin)", "vorn load sim 0x2000 block.bin")
    p.add_argument("addr", metavar="ADDR", type=number)
    p.add_argument("file", metavar="FILE")

    p = add(commands, "capture", capture.capture,
            "stream to a file; exit status 2 if chunks were dropped (unless --allow-drops)",
            'vorn capture sim -o "stream_bytes=10000000" --bytes 10000000 -f out.bin')
    p.add_argument("--addr", type=number, default=0, help="stream address (default 0)")
    p.add_argument("--chunk-size", type=count, default=0,
                   help="bytes per chunk, 0 = the device's default")
    p.add_argument("--align", type=count, help="deliver in blocks of this many bytes")
    p.add_argument("--max-queue", type=count, default=4096,
                   help="chunks queued before dropping (default 4096)")
    limit = p.add_mutually_exclusive_group(required=True)
    limit.add_argument("--seconds", type=float, help="capture this long")
    limit.add_argument("--bytes", type=count, help="capture this many bytes (k/M/G suffixes)")
    p.add_argument("-f", "--file", help="output file, '-' for stdout (default: count only)")
    p.add_argument("--allow-drops", action="store_true", help="exit 0 even if chunks dropped")
    p.add_argument("-q", "--quiet", action="store_true", help="no progress, only the summary")

    p = add(commands, "check", check.check,
            "check a plug-in against the contract the module relies on (PASS/FAIL/SKIP lines; "
            "exit status 1 on any FAIL)", "vorn check build/tests/plugins/libmy_plugin.so")
    p.add_argument("--addr", type=number, default=0, help="register and stream address")
    p.add_argument("--finite-options", help="device options whose stream ends by itself")
    p.add_argument("--refuse-options", help="device options whose device refuses streams")
    p.add_argument("--timeout", type=int, default=20, help="seconds before a check counts hung")

    p = add(commands, "bench", bench.bench,
            "the register call cost and the sustained stream rate of a plug-in",
            'vorn bench sim -o "stream_rate=20000"')
    p.add_argument("--addr", type=number, default=0, help="register and stream address")
    p.add_argument("--chunk-size", type=count, default=0, help="0 = the device's default")
    p.add_argument("--max-queue", type=count, default=4096)
    p.add_argument("--seconds", type=float, default=3.0, help="stream this long (default 3)")

    p = add(commands, "sdk", sdk.sdk,
            "where the plug-in SDK is: use with find_package(vorn CONFIG)",
            'cmake -S myplugin -B build -Dvorn_DIR="$(vorn sdk --cmake-dir)"', device=False)
    where = p.add_mutually_exclusive_group(required=True)
    where.add_argument("--cmake-dir", action="store_true", help="the vornConfig.cmake directory")
    where.add_argument("--include-dir", action="store_true", help="the directory holding vorn/")
    return parser


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        return int(args.run(args))
    except BrokenPipeError:  # the reader went away (`vorn dump ... | head`): nothing to report
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (ToolError, RuntimeError, OSError, ValueError) as e:
        print(f"vorn {args.run.__name__}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return capture.EXIT_INTERRUPTED
