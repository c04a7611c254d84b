"""Shared fixtures: the built module, the simulated plug-in, and a subprocess runner for
anything that could hang or crash the interpreter."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import pyvorn_device

BUILD_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent
SIM_PLUGIN = BUILD_DIR / "pyvorn_device_plugins" / "libvorn_sim.so"
TEST_PLUGIN_DIR = BUILD_DIR / "tests" / "plugins"
TESTS_DIR = pathlib.Path(__file__).resolve().parent


# The ASan runtime preloaded into the interpreter (./dev.sh test's sanitizer run).
UNDER_ASAN = "libasan" in os.environ.get("LD_PRELOAD", "")


def test_plugin(name: str) -> pathlib.Path:
    """Path of a test plug-in built from tests/plugins/<name>.cpp."""
    return TEST_PLUGIN_DIR / f"lib{name}.so"


test_plugin.__test__ = False  # a helper, not a test


def run_python(code: str, timeout: float = 60, **kwargs) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter with this module importable; a hang fails the test
    through subprocess.TimeoutExpired."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(BUILD_DIR), str(TESTS_DIR)]
        + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    env["VORN_SIM_PLUGIN"] = str(SIM_PLUGIN)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
        **kwargs,
    )


@pytest.fixture
def manager():
    return pyvorn_device.get_device_manager(SIM_PLUGIN)


@pytest.fixture
def device(manager):
    return manager.create_device("")
