"""Remote device benchmark: the simulated device served by vorn-serve on loopback, against the
same device driven locally, in one run.

    PYTHONPATH=build python bench/remote_bench.py [--quick]

Prints the stream throughput at 64 KiB owned chunks locally and through the remote plug-in
(median of three windows each; chunks the server dropped do not count), the server's CPU time
per delivered MB, and the get_register_sync round-trip p50 and p99. Ends with a [met] or
[MISSED] line per target and exits 1 when a target is missed.
"""

import argparse
import pathlib
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import pyvorn_device

CHUNK = 65536
TARGET_RATIO = 0.5   # remote throughput / local throughput
TARGET_P50_US = 100.0

HERE = pathlib.Path(pyvorn_device.__file__).resolve().parent
PLUGINS = HERE / "pyvorn_device_plugins"


def find_server() -> str:
    """vorn-serve beside the module in a build tree, else the installed one on PATH."""
    built = HERE / "vorn-serve"
    if built.exists():
        return str(built)
    import shutil
    found = shutil.which("vorn-serve")
    if not found:
        sys.exit("vorn-serve not found: build the project or pip install it")
    return found


class Counter:
    """Touches the first byte of each chunk, counts bytes and drop texts."""

    def __init__(self) -> None:
        self.bytes = 0
        self.texts = 0

    def __call__(self, payload, text) -> None:
        if payload is not None:
            view = memoryview(payload)
            view[0]
            self.bytes += view.nbytes
        elif text is not None:
            self.texts += 1


def cpu_seconds(pid: int) -> float:
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    import os
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def stream_rate(device, window: float, server_pid=None) -> tuple[float, float]:
    """MB/s delivered over `window` seconds after a short warm-up, and the server's CPU
    seconds per delivered MB (0 without a server)."""
    counter = Counter()
    with device.start_read_stream(0, counter, chunk_size=CHUNK):
        time.sleep(window / 4)
        start_bytes, start = counter.bytes, time.perf_counter()
        start_cpu = cpu_seconds(server_pid) if server_pid else 0.0
        time.sleep(window)
        delivered, elapsed = counter.bytes - start_bytes, time.perf_counter() - start
        cpu = cpu_seconds(server_pid) - start_cpu if server_pid else 0.0
    megabytes = delivered / 1e6
    return megabytes / elapsed, (cpu / megabytes if megabytes else float("inf"))


def round_trips(device, count: int) -> list[float]:
    samples = []
    for _ in range(count):
        start = time.perf_counter_ns()
        device.get_register_sync(0x10)
        samples.append((time.perf_counter_ns() - start) / 1000)
    return sorted(samples)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter windows, fewer samples")
    args = parser.parse_args()
    window = 0.5 if args.quick else 1.5
    calls = 2000 if args.quick else 20000

    log = tempfile.NamedTemporaryFile("w+", suffix=".log")
    server = subprocess.Popen([find_server(), str(PLUGINS / "libvorn_sim.so"),
                               "--bind", "tcp://127.0.0.1:*"], stdout=log, stderr=subprocess.STDOUT)
    try:
        deadline = time.monotonic() + 10
        while not (found := re.search(r"serving \S+ on (\S+)", pathlib.Path(log.name).read_text())):
            if server.poll() is not None or time.monotonic() > deadline:
                sys.exit("vorn-serve did not start:\n" + pathlib.Path(log.name).read_text())
            time.sleep(0.02)
        endpoint = found.group(1)

        local = pyvorn_device.get_device_manager(PLUGINS / "libvorn_sim.so").create_device("")
        remote_manager = pyvorn_device.get_device_manager(PLUGINS / "libvorn_remote.so")
        remote = remote_manager.create_device(f"endpoint={endpoint} -- ")

        local_rates = [stream_rate(local, window)[0] for _ in range(3)]
        remote_runs = [stream_rate(remote, window, server.pid) for _ in range(3)]
        local_rate = statistics.median(local_rates)
        remote_rate = statistics.median(rate for rate, _ in remote_runs)
        cpu_per_mb = statistics.median(cpu for _, cpu in remote_runs)
        remote.set_register_sync(0x10, 1, 0xFFFFFFFF)
        samples = round_trips(remote, calls)
        p50 = samples[len(samples) // 2]
        p99 = samples[int(len(samples) * 0.99)]
        local_samples = round_trips(local, calls)
    finally:
        server.terminate()
        server.wait(10)

    import os
    print(f"pyvorn_device remote benchmark on {os.cpu_count()} cores, loopback {endpoint}\n")
    print(f"{'row':<44}{'value':>14}")
    print(f"{'stream 64 KiB local (MB/s)':<44}{local_rate:>14,.0f}")
    print(f"{'stream 64 KiB remote (MB/s)':<44}{remote_rate:>14,.0f}")
    print(f"{'remote / local':<44}{remote_rate / local_rate:>14.0%}")
    print(f"{'server CPU per delivered MB (ms)':<44}{cpu_per_mb * 1000:>14.3f}")
    print(f"{'get_register_sync remote p50 (us)':<44}{p50:>14.1f}")
    print(f"{'get_register_sync remote p99 (us)':<44}{p99:>14.1f}")
    print(f"{'get_register_sync local p50 (us)':<44}{local_samples[len(local_samples) // 2]:>14.2f}")
    print()

    ok = True
    for met, text in ((remote_rate >= TARGET_RATIO * local_rate,
                       f"remote stream >= {TARGET_RATIO:.0%} of local at 64 KiB chunks"),
                      (p50 <= TARGET_P50_US, f"get_register_sync p50 <= {TARGET_P50_US:.0f} us")):
        print(f"[{'met' if met else 'MISSED'}] {text}")
        ok &= met
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
