"""vorn sdk: where the plug-in SDK (headers and CMake package) is installed."""

import argparse
import pathlib

import pyvorn_device

from pyvorn_device_tools.target import ToolError

# Beside the module in the installed distribution (see CMakeLists.txt, VORN_SDK_PREFIX).
SDK_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent / "pyvorn_device_sdk"


def sdk(args: argparse.Namespace) -> int:
    cmake_dir = SDK_DIR / "lib" / "cmake" / "vorn"
    include_dir = SDK_DIR / "include"
    if not (cmake_dir / "vornConfig.cmake").exists():
        raise ToolError(f"no SDK at {SDK_DIR}: it comes with `pip install`; in a build tree use "
                        "`cmake --install BUILD --prefix DIR` instead")
    print(cmake_dir if args.cmake_dir else include_dir)
    return 0
