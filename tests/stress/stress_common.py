"""Helpers shared by the stress cases. Each case is a script run by run_stress.py in a fresh
interpreter with PYTHONPATH pointing at the build directory and VORN_SIM_PLUGIN at the simulated
plug-in. A case reports its figures with `report(...)` as its last output line and exits 0; any
failed check raises (the traceback goes to stderr) and the interpreter exits non-zero."""

import json
import os
import subprocess
import sys
import time

SIM_PLUGIN = os.environ.get("VORN_SIM_PLUGIN", "")
OVERFLOW = "Queue Overflow, dropping event"
PATTERN_PERIOD = 251
MIB = 1024 * 1024

# Enough of the stream pattern to slice any chunk of up to 1 MiB out of it.
_PATTERN = bytes(i % PATTERN_PERIOD for i in range(PATTERN_PERIOD)) * (MIB // PATTERN_PERIOD + 2)


def pattern(offset: int, size: int) -> bytes:
    """Bytes [offset, offset + size) of a simulated stream: byte i is i % 251."""
    if size > MIB:
        return b"".join(pattern(offset + start, min(MIB, size - start))
                        for start in range(0, size, MIB))
    start = offset % PATTERN_PERIOD
    return _PATTERN[start:start + size]


def status_kib(field: str) -> int:
    """A memory figure of this process from /proc/self/status (VmRSS, VmHWM, ...), in KiB."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def rss_mib() -> float:
    return status_kib("VmRSS") / 1024


def plugin_mapped() -> bool:
    """Whether the simulated plug-in's library is mapped into this process."""
    target = os.path.realpath(SIM_PLUGIN)
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(" " + target) for line in maps)


def wait_until(predicate, timeout: float, what: str, interval: float = 0.001) -> None:
    """Polls `predicate` until it holds; fails naming `what` after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def child_env() -> dict:
    """The environment for an interpreter started by a case: same module, same plug-in."""
    return dict(os.environ)


def run_child(code: str, timeout: float) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter; a hang raises subprocess.TimeoutExpired."""
    return subprocess.run([sys.executable, "-c", code], env=child_env(), capture_output=True,
                          text=True, timeout=timeout)


def report(**figures) -> None:
    """The case's last output line: its figures, read by the runner (which adds the peak
    resident memory of the case's process and its children)."""
    sys.stdout.flush()
    print("RESULT " + json.dumps(figures), flush=True)
