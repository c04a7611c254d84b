"""vorn-pva: serves one device's registers, triggers, streams and status as EPICS PVAccess
process variables (PVs), until SIGINT or SIGTERM.

PVs, for --prefix P:
  P<register>            an unsigned 32-bit integer (NTScalar); a put is a masked write to the
                         device followed by a read-back
  P<register>:<field>    with --map, each field: an integer, or a name (NTEnum) if encoded;
                         read-only where the map says so. A map path's '.' becomes ':'.
  P<trigger>             a put fires the trigger
  P<stream>              the stream's chunks as arrays (NTScalarArray)
  P<stream>:rate         chunks a second from the device
  P<stream>:dropped      chunks not posted: lost in the queue, or above max_rate
  P<stream>:running      put 1 to start the stream, 0 to stop it
  P:status, P:info       the device's get_status() (polled) and get_info()

By default the server answers on loopback only; --interface opens it to a network (see
docs/epics.md for access security and gateways in front of it).

Exit status: 0 stopped by SIGINT or SIGTERM; 1 a failure (the plug-in does not load, the
device is not created, the server does not start); 2 a usage error.
"""

import argparse
import gc
import logging
import signal
import sys
import threading
import types

from pyvorn_device_tools.pva import config
from pyvorn_device_tools.regmap_commands import add_map_options
from pyvorn_device_tools.target import ToolError, open_device

EXAMPLE = ("vorn-pva sim --prefix LAB:ADC1: --map board.rdl --register raw=0x10 "
           "--trigger start=3 --stream wave=0x0,chunk=8192,dtype=int16,max_rate=10 --poll 0.5s")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="vorn-pva", description=__doc__,
                                     epilog=f"example:\n  {EXAMPLE}",
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("plugin", metavar="PLUGIN",
                        help="path of a plug-in, or the name of one shipped with the module "
                             "(sim, remote)")
    parser.add_argument("-o", "--options", default="", help="device options text")
    parser.add_argument("--prefix", required=True, help="prepended to every PV name, "
                        "e.g. LAB:ADC1:")
    add_map_options(parser)
    parser.add_argument("--register", action="append", default=[], type=config.register_item,
                        metavar="NAME=ADDR[:MASK]",
                        help="a register PV; with MASK, the bits under it, shifted down to bit 0")
    parser.add_argument("--trigger", action="append", default=[], type=config.trigger_item,
                        metavar="NAME=N[:VALUE]",
                        help="a PV whose put fires trigger N with VALUE (default: the put's "
                             "value)")
    parser.add_argument("--stream", action="append", default=[], type=config.stream_item,
                        metavar="NAME=ADDR[,chunk=N][,align=N][,dtype=T][,max_rate=HZ][,queue=N]",
                        help="a stream PV: chunks of N bytes (default: the device's) posted as "
                             "arrays of T (default uint8) in pieces of a multiple of align bytes "
                             "(default: the element size), at most HZ a second (default: every "
                             "chunk); the module queues at most queue chunks (default 256, fewer "
                             "for chunks above 256 KiB: about 64 MiB)")
    parser.add_argument("--poll", type=config.duration, default=1.0,
                        help="how often registers, status and stream counts are read "
                             "(default 1s; e.g. 0.5s, 200ms)")
    parser.add_argument("--interface", action="append", default=[], metavar="ADDR",
                        help="serve on this interface address (repeatable); default loopback "
                             "only")
    parser.add_argument("--read-only", action="store_true", help="refuse every put")
    return parser


def map_registers(args: argparse.Namespace) -> list[config.BitsConfig]:
    if args.map is None:
        return []
    from pyvorn_device_tools.pva.map_config import map_bits
    from pyvorn_device_tools.regmap import RegisterMapError
    try:
        return map_bits(args.map, args.top, args.base)
    except RegisterMapError as e:
        raise ToolError(str(e)) from None


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="vorn-pva: %(message)s")
    stopping = threading.Event()

    def request_stop(signum: int, frame: types.FrameType | None) -> None:
        stopping.set()

    # Set before anything starts, so a signal during start-up still ends in close().
    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGTERM, request_stop)
    bridge = None
    try:
        registers = map_registers(args) + args.register
        from pyvorn_device_tools.pva.bridge import Bridge, server_conf
        device = open_device(args.plugin, args.options)
        bridge = Bridge(device, args.prefix, registers, args.trigger, args.stream,
                        args.poll, args.read_only)
        del device  # the bridge's PVs hold it; it goes with them
        conf = bridge.start(server_conf(args.interface))
        names = "".join(f"\n    {name}" for name in sorted(bridge.pvs))
        print(f"vorn-pva: serving {len(bridge.pvs)} PVs on {conf['EPICS_PVAS_INTF_ADDR_LIST']}:"
              f"{names}", file=sys.stderr, flush=True)
        if args.interface and not args.read_only:
            print("vorn-pva: warning: any client that reaches these interfaces can put to every "
                  "writable PV; put a gateway with access security in front, or use --read-only",
                  file=sys.stderr, flush=True)
        while not stopping.wait(0.5):
            pass
        status = 0
    except ModuleNotFoundError as e:
        extra = "regmap" if e.name and e.name.startswith(("systemrdl", "peakrdl")) else "pva"
        print(f"vorn-pva needs {e.name}: pip install 'pyvorn_device[{extra}]'", file=sys.stderr)
        status = 1
    except (ToolError, RuntimeError, OSError, ValueError) as e:
        print(f"vorn-pva: {e}", file=sys.stderr)
        status = 1
    finally:
        if bridge is not None:
            for line in bridge.close():
                print(f"vorn-pva: {line}", file=sys.stderr)
            bridge = None
        gc.collect()  # PV handlers form cycles through the device: destroy it now, not at exit
    print("vorn-pva: stopped", file=sys.stderr, flush=True)
    return status
