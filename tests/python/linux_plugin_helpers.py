"""Shared by the Linux plug-in tests: where the plug-in is, and what a test leaves open."""

import os
import pathlib

import pyvorn_device

LINUX_PLUGIN = (pathlib.Path(pyvorn_device.__file__).resolve().parent
                / "pyvorn_device_plugins" / "libvorn_linux.so")


def open_resources(under):
    """Descriptors of this process, and its mappings of files below `under`."""
    fds = len(os.listdir("/proc/self/fd"))
    with open("/proc/self/maps") as maps:
        mapped = sum(str(under) in line for line in maps)
    return fds, mapped
