"""Where plug-ins, the SDK and the checker are, and how command-line text becomes a device."""

import argparse
import pathlib

import pyvorn_device

MODULE_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent
PLUGIN_DIR = MODULE_DIR / "pyvorn_device_plugins"
PACKAGE_DIR = pathlib.Path(__file__).resolve().parent


class ToolError(Exception):
    """A failure reported as one line and exit status 1."""


def shipped_plugins() -> list[str]:
    return sorted(p.name[len("libvorn_"):-len(".so")] for p in PLUGIN_DIR.glob("libvorn_*.so"))


def plugin_path(spec: str) -> pathlib.Path:
    """A path as given, or the bare name of a plug-in shipped beside the module."""
    if "/" in spec or spec.endswith(".so"):
        return pathlib.Path(spec)
    path = PLUGIN_DIR / f"libvorn_{spec}.so"
    if not path.exists():
        known = ", ".join(shipped_plugins()) or "none"
        raise ToolError(f"no plug-in named '{spec}' beside the module (shipped: {known}); "
                        "give a path to a .so instead")
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


def count(text: str) -> int:
    """A non-negative size, hex or decimal; k/M/G suffixes are powers of 1000."""
    scale = {"k": 10**3, "M": 10**6, "G": 10**9}.get(text[-1:], 1)
    try:
        value = int(text[:-1] if scale > 1 else text, 0) * scale
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"negative size: {text}")
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
