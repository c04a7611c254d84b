"""vorn check: runs the native conformance checker, vorn-check, on a plug-in."""

import argparse
import os
import pathlib
import signal
import subprocess

from pyvorn_device_tools.target import MODULE_DIR, PACKAGE_DIR, ToolError, plugin_path

# Device options for the checks that need a stream that ends, for plug-ins shipped with the module.
FINITE_OPTIONS = {"sim": "stream_bytes=65536"}


def checker() -> pathlib.Path:
    """Installed beside this package, or at the top of the build tree beside the module."""
    for candidate in (PACKAGE_DIR / "vorn-check", MODULE_DIR / "vorn-check"):
        if os.access(candidate, os.X_OK):
            return candidate
    raise ToolError("vorn-check not found beside the package or the module; build it "
                    "(cmake --build BUILD --target vorn_check)")


def check(args: argparse.Namespace) -> int:
    command = [str(checker()), str(plugin_path(args.plugin)), "-o", args.options,
               "--addr", str(args.addr), "--timeout", str(args.timeout)]
    finite = args.finite_options or FINITE_OPTIONS.get(args.plugin)
    if finite is not None:
        command += ["--finite-options", finite]
    if args.refuse_options is not None:
        command += ["--refuse-options", args.refuse_options]
    status = subprocess.run(command, check=False).returncode
    if status == -signal.SIGPIPE:  # its reader went away (`vorn check sim | head`)
        raise BrokenPipeError
    if status < 0:
        raise ToolError(f"vorn-check ended by signal {-status}")
    return status
