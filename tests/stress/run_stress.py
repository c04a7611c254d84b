"""The stress suite: long-running reliability cases for the Python module and the simulated
plug-in, then bounded libFuzzer runs. Separate from the fast tests.

    .venv/bin/python tests/stress/run_stress.py [--build build] [--case NAME ...]
                                                [--fuzz-seconds 60] [--no-fuzz]

Each case is a script in this directory run in its own interpreter with a time limit. One
summary line per case gives PASS or FAIL, its wall time, the peak resident memory of the case's
processes and the figures the case reported; a failing case's output follows its line. The exit
status is non-zero if any case or fuzz target fails.
"""

import argparse
import json
import os
import pathlib
import signal
import subprocess
import sys
import tempfile
import time

STRESS_DIR = pathlib.Path(__file__).resolve().parent
REPO = STRESS_DIR.parent.parent
sys.path.insert(0, str(REPO / "tests" / "fuzz"))

# name, script, time limit in seconds
CASES = (
    ("start_stop", "case_start_stop.py", 300),
    ("parallel_streams", "case_parallel_streams.py", 180),
    ("slow_callback", "case_slow_callback.py", 180),
    ("raising_callbacks", "case_raising_callbacks.py", 120),
    ("interpreter_exit", "case_interpreter_exit.py", 600),
    ("exit_under_load", "case_exit_under_load.py", 600),
    ("drop_order", "case_drop_order.py", 180),
)

# A module being rebuilt by someone else is briefly an incomplete file.
REBUILD_SIGNS = ("file too short", "invalid ELF header", "cannot open shared object file")
REBUILD_RETRIES = 3
REBUILD_WAIT = 30  # seconds


def case_env(build_dir: pathlib.Path) -> dict:
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [str(build_dir), str(STRESS_DIR)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep)
                                             if p])
    env["VORN_SIM_PLUGIN"] = str(build_dir / "pyvorn_device_plugins" / "libvorn_sim.so")
    env["PYTHONUNBUFFERED"] = "1"
    return env


def wait_for_module(env: dict) -> None:
    """Returns once the module imports; waits through a rebuild in progress."""
    for attempt in range(REBUILD_RETRIES + 1):
        result = subprocess.run([sys.executable, "-c", "import pyvorn_device"], env=env,
                                capture_output=True, text=True, timeout=60)
        if result.returncode == 0:
            return
        if attempt < REBUILD_RETRIES and any(sign in result.stderr for sign in REBUILD_SIGNS):
            time.sleep(REBUILD_WAIT)
            continue
        raise SystemExit(f"pyvorn_device does not import:\n{result.stderr}")


def run_case(script: str, limit: float, env: dict) -> tuple:
    """Runs one case script; returns (exit status or None on timeout, seconds, peak RSS in MiB,
    combined output)."""
    with tempfile.TemporaryFile() as out:
        started = time.monotonic()
        child = subprocess.Popen([sys.executable, str(STRESS_DIR / script)], env=env,
                                 stdout=out, stderr=subprocess.STDOUT, cwd=str(REPO),
                                 start_new_session=True)
        status = usage = None
        while True:
            pid, wait_status, usage = os.wait4(child.pid, os.WNOHANG)
            if pid != 0:
                status = os.waitstatus_to_exitcode(wait_status)
                child.returncode = status  # reaped here, not by Popen
                break
            if time.monotonic() - started > limit:
                os.killpg(child.pid, signal.SIGKILL)  # the case and the children it started
                _, _, usage = os.wait4(child.pid, 0)
                child.returncode = -signal.SIGKILL
                break
            time.sleep(0.05)
        seconds = time.monotonic() - started
        out.seek(0)
        output = out.read().decode(errors="replace")
    # ru_maxrss (KiB) covers the case's process and the children it waited for.
    return status, seconds, usage.ru_maxrss / 1024, output


def parse_figures(output: str) -> dict:
    for line in reversed(output.splitlines()):
        if line.startswith("RESULT "):
            return json.loads(line[len("RESULT "):])
    return {}


def summary(passed: bool, name: str, seconds: float, figures: dict) -> str:
    text = " ".join(f"{key}={value}" for key, value in figures.items())
    return f"{'PASS' if passed else 'FAIL'} {name:<22} {seconds:6.1f}s {text}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default="build", help="build directory holding the module")
    parser.add_argument("--case", action="append", choices=[c[0] for c in CASES],
                        help="run only this case (repeatable)")
    parser.add_argument("--fuzz-seconds", type=int, default=60)
    parser.add_argument("--fuzz-build", default="build-fuzz",
                        help="build directory of the fuzz targets (clang)")
    parser.add_argument("--no-fuzz", action="store_true")
    args = parser.parse_args()

    build_dir = (REPO / args.build).resolve()
    env = case_env(build_dir)
    wait_for_module(env)

    failures = 0
    total_started = time.monotonic()
    for name, script, limit in CASES:
        if args.case and name not in args.case:
            continue
        for attempt in range(REBUILD_RETRIES + 1):
            status, seconds, peak_mib, output = run_case(script, limit, env)
            rebuilt = status != 0 and any(sign in output for sign in REBUILD_SIGNS)
            if not rebuilt or attempt == REBUILD_RETRIES:
                break
            print(f"     {name}: the module was being rebuilt; running the case again",
                  flush=True)
            wait_for_module(env)
        figures = parse_figures(output)
        figures["peak_rss_mib"] = round(peak_mib, 1)
        passed = status == 0 and "RESULT " in output
        if status is None:
            figures["timed_out_after_s"] = limit
        elif status != 0:
            figures["exit_status"] = status
        print(summary(passed, name, seconds, figures), flush=True)
        if not passed:
            failures += 1
            print("\n".join("    | " + line for line in output.splitlines()[-60:]), flush=True)

    if not args.no_fuzz and not args.case:
        import run_fuzzers

        fuzz_build = (REPO / args.fuzz_build).resolve()
        try:
            run_fuzzers.build(fuzz_build)
        except (subprocess.CalledProcessError, RuntimeError) as error:
            failures += 1
            details = getattr(error, "stderr", "") or str(error)
            print(f"FAIL fuzz build\n{details}", flush=True)
        else:
            for target in run_fuzzers.TARGETS:
                passed, figures, details = run_fuzzers.run_target(target, fuzz_build,
                                                                  args.fuzz_seconds)
                print(summary(passed, target, figures.pop("seconds"), figures), flush=True)
                if not passed:
                    failures += 1
                    print(details, flush=True)

    print(f"stress: {'FAILED' if failures else 'passed'} ({failures} failing) in "
          f"{time.monotonic() - total_started:.0f} s", flush=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
