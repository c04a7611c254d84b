"""PVAccess bridge benchmark: what a p4p monitor receives from vorn-pva's stream PV, next to the
same simulated device streamed locally, in one run.

    PYTHONPATH=build:tools python bench/pva_bench.py [--quick]

Both sides: the simulated device unpaced, 64 KiB chunks filled with the pattern, through
start_aligned_read_stream (the path vorn-pva takes). Local: a Python callback that counts the
bytes. PVA: vorn-pva in a subprocess on loopback (ports chosen at run time) posting every chunk
as a uint8 array, and a p4p client monitor (default queue, raw Values: nt=False) in this
process counting the bytes it receives; chunks the server could not post or the monitor
squashed are not counted. Prints both rates in MB/s, their ratio, the chunks a second the
bridge posted (more than the monitor received: PVAccess merges updates a client cannot take)
and the chunks it did not post. No target: the figure is for comparison across runs and
machines.
"""

import argparse
import os
import pathlib
import queue
import socket
import subprocess
import sys
import threading
import time

import pyvorn_device

CHUNK = 65536
HERE = pathlib.Path(__file__).resolve().parent
BUILD = pathlib.Path(pyvorn_device.__file__).resolve().parent
TOOLS = HERE.parent / "tools"


def local_rate(window: float) -> float:
    manager = pyvorn_device.get_device_manager(BUILD / "pyvorn_device_plugins" / "libvorn_sim.so")
    assert manager is not None
    device = manager.create_device("")
    assert device is not None
    received = [0]

    def count(view: pyvorn_device.DataView | None, error: str | None) -> None:
        if view is not None:
            received[0] += memoryview(view).nbytes

    stream = device.start_aligned_read_stream(0, 1, count, chunk_size=CHUNK,
                                              max_queue_elements=256)
    assert stream is not None
    with stream:
        time.sleep(0.5)
        start, began = received[0], time.monotonic()
        time.sleep(window)
        got, elapsed = received[0] - start, time.monotonic() - began
    return got / elapsed / 1e6


def free_port(kind: int) -> str:
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return str(s.getsockname()[1])


def pva_rate(window: float) -> tuple[float, float, int]:
    from p4p.client.thread import Context

    tcp, udp = free_port(socket.SOCK_STREAM), free_port(socket.SOCK_DGRAM)
    epics = {"EPICS_PVA_ADDR_LIST": "127.0.0.1", "EPICS_PVA_AUTO_ADDR_LIST": "NO",
             "EPICS_PVA_SERVER_PORT": tcp, "EPICS_PVA_BROADCAST_PORT": udp,
             "EPICS_PVAS_SERVER_PORT": tcp, "EPICS_PVAS_BROADCAST_PORT": udp}
    env = dict(os.environ, **epics, PYTHONPATH=os.pathsep.join([str(BUILD), str(TOOLS)]))
    server = subprocess.Popen([sys.executable, "-m", "pyvorn_device_tools.pva", "sim",
                               "--prefix", "BENCH:", "--stream", f"wave=0,chunk={CHUNK}", "--poll", "0.5s"],
                              env=env, stderr=subprocess.PIPE, text=True)
    lines: queue.Queue[str] = queue.Queue()

    def read_log() -> None:
        for line in server.stderr:
            lines.put(line)

    threading.Thread(target=read_log, daemon=True).start()
    try:
        deadline = time.monotonic() + 30
        while "serving" not in lines.get(timeout=max(0.1, deadline - time.monotonic())):
            pass
        client = Context("pva", conf=epics, useenv=False, nt=False)
        received = [0]
        monitor = client.monitor("BENCH:wave", lambda value: received.__setitem__(
            0, received[0] + len(value.value)))
        time.sleep(0.5)
        start, began = received[0], time.monotonic()
        time.sleep(window)
        got, elapsed = received[0] - start, time.monotonic() - began
        posted = float(client.get("BENCH:wave:rate").value)  # every chunk is posted: no max_rate
        monitor.close()
        dropped = int(client.get("BENCH:wave:dropped").value)
        client.close()
    finally:
        server.terminate()
        server.wait(30)
    return got / elapsed / 1e6, posted, dropped


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a shorter window")
    parser.add_argument("--update-readme", action="store_true",
                        help="accepted for ./dev.sh bench and ignored: no README rows here")
    args = parser.parse_args()
    window = 1.0 if args.quick else 3.0
    local = local_rate(window)
    pva, posted, dropped = pva_rate(window)
    print(f"pyvorn_device PVAccess bridge benchmark on {os.cpu_count()} cores, loopback\n")
    print(f"{'row':<52}{'value':>12}")
    print(f"{'stream 64 KiB local, aligned callback (MB/s)':<52}{local:>12,.0f}")
    print(f"{'stream PV 64 KiB, delivered to a p4p monitor (MB/s)':<52}{pva:>12,.0f}")
    print(f"{'stream PV / local':<52}{pva / local:>12.1%}")
    print(f"{'stream PV: chunks the bridge posted a second':<52}{posted:>12,.0f}")
    print(f"{'stream PV: chunks it did not post (whole run)':<52}{dropped:>12,}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
