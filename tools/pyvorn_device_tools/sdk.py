"""vorn sdk: where the plug-in SDK (headers and CMake package) is installed, and a new plug-in
project built against it."""

import argparse
import pathlib
import re

import pyvorn_device

from pyvorn_device_tools.target import ToolError, UsageError

# Beside the module in the installed distribution (see CMakeLists.txt, VORN_SDK_PREFIX).
SDK_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent / "pyvorn_device_sdk"
TEMPLATE_DIR = pathlib.Path(__file__).resolve().parent / "plugin_template"
PLACEHOLDER = "@NAME@"
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def new_plugin(directory: pathlib.Path, name: str | None) -> None:
    """Writes the template with `name` (default: the directory's name) in place of PLACEHOLDER,
    into a directory that does not exist or is empty."""
    name = directory.resolve().name if name is None else name
    if IDENTIFIER.fullmatch(name) is None:
        raise UsageError(f"plug-in name {name!r} is not a C identifier (letters, digits, '_'); "
                         "choose one with --name")
    if directory.exists() and (not directory.is_dir() or any(directory.iterdir())):
        raise ToolError(f"{directory} exists and is not an empty directory")
    directory.mkdir(parents=True, exist_ok=True)
    for source in sorted(TEMPLATE_DIR.iterdir()):
        target = directory / source.name.replace(PLACEHOLDER, name)
        target.write_text(source.read_text().replace(PLACEHOLDER, name))
        print(target)


def sdk(args: argparse.Namespace) -> int:
    if args.name is not None and args.new_plugin is None:
        raise UsageError("--name goes with --new-plugin")
    if args.new_plugin is not None:
        new_plugin(pathlib.Path(args.new_plugin), args.name)
        return 0
    cmake_dir = SDK_DIR / "lib" / "cmake" / "vorn"
    include_dir = SDK_DIR / "include"
    if not (cmake_dir / "vornConfig.cmake").exists():
        raise ToolError(f"no SDK at {SDK_DIR}: it comes with `pip install`; in a build tree use "
                        "`cmake --install BUILD --prefix DIR` instead")
    print(cmake_dir if args.cmake_dir else include_dir)
    return 0
