"""Where plug-ins, the SDK and the checker are, and how command-line text becomes a device."""

import argparse
import math
import pathlib
import re

import pyvorn_device

MODULE_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent
PLUGIN_DIR = MODULE_DIR / "pyvorn_device_plugins"
PACKAGE_DIR = pathlib.Path(__file__).resolve().parent


class ToolError(Exception):
    """A failure reported as one line and exit status 1."""


class UsageError(Exception):
    """Arguments that each parse but do not go together: one line and exit status 2."""


def shipped_plugins() -> list[str]:
    return sorted(p.name[len("libvorn_"):-len(".so")] for p in PLUGIN_DIR.glob("libvorn_*.so"))


def plugin_path(name: str) -> pathlib.Path:
    """The file of the plug-in `name` shipped with the module ("sim", "linux", "remote"), wherever
    the module is (a pip install or a build tree); a path (with a '/' or ending in .so) is returned
    as given. Raises FileNotFoundError, naming the shipped plug-ins, for an unknown name."""
    if "/" in name or name.endswith(".so"):
        return pathlib.Path(name)
    path = PLUGIN_DIR / f"libvorn_{name}.so"
    if not path.exists():
        known = ", ".join(shipped_plugins()) or "none"
        raise FileNotFoundError(f"no plug-in named '{name}' beside the module (shipped: "
                                f"{known}); give a path to a .so instead")
    return path


def number(text: str) -> int:
    """An unsigned 32-bit number, hex (0x..) or decimal."""
    try:
        value = int(text, 10 if text.isdigit() else 0)  # decimal may have leading zeros
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value <= 0xFFFF_FFFF:
        raise argparse.ArgumentTypeError(f"out of the 32-bit range: {text}")
    return value


SIZE_SUFFIXES = {"": 1, "k": 10**3, "M": 10**6, "G": 10**9, "Ki": 2**10, "Mi": 2**20,
                 "Gi": 2**30}
SIZE_HELP = "sizes take k/M/G (powers of 1000) or Ki/Mi/Gi (powers of 1024) suffixes"
SIZE_FORM = re.compile(r"(0[xX][0-9a-fA-F_]+|[0-9][0-9_]*)([a-zA-Z]*)")


def size(text: str, limit: int) -> int:
    """A size from 0 to `limit`: hex or decimal, with an SI or IEC suffix."""
    form = SIZE_FORM.fullmatch(text.strip())
    if form is None or form.group(2) not in SIZE_SUFFIXES:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} ({SIZE_HELP})")
    digits, suffix = form.groups()
    try:
        value = int(digits, 16 if digits[:2] in ("0x", "0X") else 10) * SIZE_SUFFIXES[suffix]
    except ValueError:  # a misplaced '_'
        raise argparse.ArgumentTypeError(f"not a size: {text!r} ({SIZE_HELP})") from None
    if value > limit:
        raise argparse.ArgumentTypeError(f"too large: {text} (at most {limit})")
    return value


def count(text: str) -> int:
    """A size up to 2**63 - 1 bytes or items."""
    return size(text, 2**63 - 1)


def block_length(text: str) -> int:
    """The length of one block transfer: within the 32-bit address space."""
    return size(text, 2**32)


def chunk_length(text: str) -> int:
    """A chunk or alignment size: at most 1 GiB, so one chunk always fits in memory."""
    return size(text, 2**30)


def queue_length(text: str) -> int:
    """A number of queued chunks, as the module takes it: from the 64 its queue starts with to
    the most a 32-bit signed count holds."""
    value = size(text, 2**31 - 1)
    if value < 64:
        raise argparse.ArgumentTypeError(f"too small: {text} (at least 64)")
    return value


def seconds(text: str) -> float:
    """A positive, finite number of seconds."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number of seconds: {text!r}") from None
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"not a positive, finite number of seconds: {text}")
    return value


def open_manager(spec: str) -> pyvorn_device.DeviceManager:
    path = plugin_path(spec)
    manager = pyvorn_device.get_device_manager(path)
    if manager is None:
        raise ToolError(f"{path}: create_manager returned no manager")
    return manager


def open_device(spec: str, options: str) -> pyvorn_device.Device:
    device = open_manager(spec).create_device(options)
    if device is None:
        raise ToolError(f"the plug-in created no device for options {options!r}")
    return device
