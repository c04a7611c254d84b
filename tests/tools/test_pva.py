"""vorn-pva (tools/pyvorn_device_tools/pva) as a facility would reach it: the server in a
subprocess on loopback, a p4p client doing gets, puts and monitors."""

import os
import pathlib
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy
import pytest
from p4p.client.thread import RemoteError

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "tools"))
from pva_server import BUILD_DIR, TOOLS_DIR, PvaServer, loopback_env, pva_server

SIM_TRIGGER_COUNT, SIM_LAST_TRIGGER_VALUE = "0xFFFF0000", "0xFFFF0008"


def wait_until(check, timeout: float = 10):
    deadline = time.monotonic() + timeout
    while not (result := check()):
        assert time.monotonic() < deadline, "condition not met in time"
        time.sleep(0.05)
    return result


def test_registers_fields_triggers_and_change_only_monitors():
    with pva_server("sim", "--prefix", "T:", "--register", "ctrl=0x10",
                    "--register", "mode=0x10:0xF0", "--trigger", "fire=3:7",
                    "--register", f"fired={SIM_TRIGGER_COUNT}",
                    "--register", f"fired_with={SIM_LAST_TRIGGER_VALUE}",
                    "--poll", "0.05s") as (pva, _):
        updates: queue.Queue[int] = queue.Queue()
        monitor = pva.monitor("T:ctrl", lambda value: updates.put(int(value)))
        try:
            pva.put("T:ctrl", 0x1234)
            assert pva.get("T:ctrl") == 0x1234 and pva.get("T:mode") == 3
            pva.put("T:mode", 0xA)  # only the field's bits change, and the register shows it
            assert pva.get("T:ctrl") == 0x12A4 and pva.get("T:mode") == 0xA
            time.sleep(0.5)  # ten polls: a monitor posts changes, not polls
            seen = []
            while not updates.empty():
                seen.append(updates.get())
            assert seen == [0, 0x1234, 0x12A4]
        finally:
            monitor.close()

        with pytest.raises(RemoteError, match="does not fit the mask 0xf0"):
            pva.put("T:mode", 0x10)
        with pytest.raises(RemoteError, match="read-only"):
            pva.put("T::status", "x")
        assert "Simulated VORN device" in pva.get("T::info")

        pva.put("T:fire", 1)
        assert wait_until(lambda: pva.get("T:fired") == 1)
        assert pva.get("T:fired_with") == 7

        for pv in ("T:ctrl", "T:mode", "T:fire"):  # odd puts: refused or converted, never fatal
            for value in (-1, 2**40, "junk", [1, 2], float("nan")):
                try:
                    pva.put(pv, value)
                except (RemoteError, ValueError, TypeError, OverflowError):
                    pass
        assert 0 <= pva.get("T:mode") <= 15 and pva.get("T:fired") >= 1


def test_puts_run_between_polls_slower_than_their_period():
    from pyvorn_device_tools.pva.worker import DeviceWorker, Job

    ran = threading.Event()
    worker = DeviceWorker(lambda: time.sleep(0.2), period=0.05)
    worker.start()
    try:
        assert worker.submit(Job(ran.set, lambda why: None))
        assert ran.wait(10)
    finally:
        worker.stop()


def test_loopback_unless_told_otherwise(monkeypatch):
    from pyvorn_device_tools.pva.bridge import server_conf

    monkeypatch.setenv("EPICS_PVAS_INTF_ADDR_LIST", "0.0.0.0")
    monkeypatch.setenv("EPICS_PVAS_AUTO_BEACON_ADDR_LIST", "YES")
    monkeypatch.setenv("EPICS_PVAS_SERVER_PORT", "5999")
    conf = server_conf([])
    assert (conf["EPICS_PVAS_INTF_ADDR_LIST"], conf["EPICS_PVAS_AUTO_BEACON_ADDR_LIST"],
            conf["EPICS_PVAS_BEACON_ADDR_LIST"]) == ("127.0.0.1", "NO", "127.0.0.1")
    assert conf["EPICS_PVAS_SERVER_PORT"] == "5999"
    assert server_conf(["10.0.0.5", "10.1.0.5"])["EPICS_PVAS_INTF_ADDR_LIST"] == "10.0.0.5 10.1.0.5"


@pytest.mark.parametrize("args, refusal", [
    (("-o", "fail_send=true"), "Failure to set_register_sync"),
    (("--read-only",), "started with --read-only"),
])
def test_refused_puts_reach_the_client(args, refusal):
    with pva_server("sim", "--prefix", "T:", "--register", "ctrl=0x10", *args) as (pva, _):
        with pytest.raises(RemoteError, match=refusal):
            pva.put("T:ctrl", 5)
        assert pva.get("T:ctrl") == 0


def test_a_failed_read_shows_as_an_invalid_alarm():
    with pva_server("sim", "-o", "fail_read=true", "--prefix", "T:",
                    "--register", "ctrl=0x10") as (pva, _):
        value = pva.get("T:ctrl")
        assert (value.severity, value.raw["alarm.message"]) == (3, "read failed")


def test_stream_arrays_rate_limit_and_running():
    with pva_server("sim", "-o", "stream_rate=2000", "--prefix", "T:",
                    "--stream", "wave=0,chunk=8192,dtype=int16,max_rate=20", "--poll", "0.1s",
                    stop_signal=signal.SIGINT) as (pva, server):
        arrays: queue.Queue[numpy.ndarray] = queue.Queue()
        monitor = pva.monitor("T:wave", arrays.put)
        try:
            for _ in range(4):
                array = arrays.get(timeout=10)
                assert array.dtype == numpy.int16 and len(array) == 4096
                data = numpy.frombuffer(array.tobytes(), numpy.uint8).astype(int)
                expected = (data[0] + numpy.arange(len(data))) % 251
                assert (data == expected).all()
        finally:
            monitor.close()

        dropped = pva.get("T:wave:dropped")
        assert wait_until(lambda: pva.get("T:wave:dropped") > dropped + 100)
        assert pva.get("T:wave:rate") > 100

        pva.put("T:wave:running", False)
        assert not pva.get("T:wave:running")
        pva.put("T:wave:running", True)
        assert wait_until(lambda: pva.get("T:wave:running"))
    log = server.log
    assert any("stream wave:" in line for line in log)


@pytest.mark.parametrize("args, status, said", [
    (("--stream", "w=0,dtype=int7"), 2, "dtype one of"),
    (("--stream", "w=0,dtype=int32,align=6"), 2, "multiple of the int32 size"),
    (("--register", "r=0x10:0"), 2, "selects no bits"),
    (("--poll", "0"), 2, "must be above 0"),
    (("--register", "x=0x10", "--trigger", "x=1"), 1, "two PVs would be named T:x"),
])
def test_bad_command_lines(args, status, said):
    env = dict(os.environ, **loopback_env(),
               PYTHONPATH=os.pathsep.join([str(BUILD_DIR), str(TOOLS_DIR)]))
    result = subprocess.run([sys.executable, "-m", "pyvorn_device_tools.pva", "sim", "--prefix",
                             "T:", *args], env=env, capture_output=True, text=True, timeout=60)
    assert result.returncode == status and said in result.stderr, result.stderr


def test_a_remote_device_behind_vorn_serve():
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
    from remote_server import Server

    with Server() as far, pva_server("remote", "-o", f"endpoint={far.endpoint}", "--prefix", "R:",
                                     "--register", "ctrl=0x10") as (pva, _):
        pva.put("R:ctrl", 0xCAFE)
        assert pva.get("R:ctrl") == 0xCAFE
        assert "Simulated VORN device" in pva.get("R::info")


SHUTDOWN_SCRIPT = textwrap.dedent("""
    import os, signal, threading, weakref
    from pyvorn_device_tools.pva import cli

    devices = []
    def open_and_watch(plugin, options):
        device = real_open(plugin, options)
        devices.append(weakref.ref(device))
        return device
    real_open, cli.open_device = cli.open_device, open_and_watch
    threading.Timer(1.0, os.kill, (os.getpid(), signal.SIGTERM)).start()
    status = cli.main(["sim", "-o", "stream_rate=1000", "--prefix", "D:", "--stream", "w=0",
                       "--register", "a=0x10"])
    print(status, "destroyed" if devices[0]() is None else "alive")
""")


def test_sigterm_stops_streams_and_destroys_the_device():
    env = dict(os.environ, **loopback_env(),
               PYTHONPATH=os.pathsep.join([str(BUILD_DIR), str(TOOLS_DIR)]))
    result = subprocess.run([sys.executable, "-c", SHUTDOWN_SCRIPT], env=env,
                            capture_output=True, text=True, timeout=60)
    assert result.stdout.split() == ["0", "destroyed"], result.stderr
    assert "stream w:" in result.stderr


OPHYD_SCRIPT = textwrap.dedent("""
    import asyncio
    from ophyd_async.core import init_devices
    from ophyd_async.epics.core import epics_signal_r, epics_signal_rw

    async def main():
        async with init_devices(mock=False):
            ctrl = epics_signal_r(int, "pva://T:ctrl")
            mode = epics_signal_rw(int, "pva://T:mode")
        await mode.set(9)                       # waits for the put's completion
        assert await mode.get_value() == 9
        assert await ctrl.get_value() == 0x90, hex(await ctrl.get_value())
        print("ok")

    asyncio.run(asyncio.wait_for(main(), 30))
""")


def test_ophyd_async_drives_a_register():
    epics = loopback_env()
    server = PvaServer(("sim", "--prefix", "T:", "--register", "ctrl=0x10",
                        "--register", "mode=0x10:0xF0"), epics)
    try:
        server.wait_for("vorn-pva: serving")
        env = dict(os.environ, **{k: v for k, v in epics.items() if k.startswith("EPICS_PVA_")})
        result = subprocess.run([sys.executable, "-c", OPHYD_SCRIPT], env=env,
                                capture_output=True, text=True, timeout=90)
        assert result.stdout.strip() == "ok", result.stderr
    finally:
        server.stop()


MAPS = pathlib.Path(__file__).resolve().parent / "maps"


def test_map_registers_and_fields():
    with pva_server("sim", "--prefix", "M:", "--map", str(MAPS / "demo.rdl"), "--base", "0x1000",
                    "--poll", "0.05s") as (pva, _):
        pva.put("M:blk:ctrl", 0xFF01)
        pva.put("M:blk:ctrl:mode", "burst")  # an encoded field takes its names
        mode = pva.get("M:blk:ctrl:mode")
        assert (int(mode), mode.choice) == (2, "burst")
        assert pva.get("M:blk:ctrl") == 0xFF05  # the field's bits only
        assert pva.get("M:blk:ctrl").raw["display.description"] == "Control."
        with pytest.raises(RemoteError, match="read-only"):
            pva.put("M:blk:status:busy", 1)
        pva.put("M:blk:chan[2]:gain", 7)
        assert pva.get("M:blk:chan[2]") == 7 and pva.get("M:blk:chan[1]") == 0


def test_registers_that_change_when_read_are_never_polled(tmp_path):
    from pyvorn_device_tools.pva.map_config import map_bits

    rdl = tmp_path / "counters.rdl"
    rdl.write_text("addrmap counters {\n"
                   "  reg { field { sw = r; hw = w; rclr; } hits[7:0] = 0; } hits @ 0x0;\n"
                   "  reg { field { sw = r; hw = w; } fill[7:0] = 0; } fill @ 0x4;\n"
                   "};\n")
    polled = {config.name: config.readable for config in map_bits(rdl, None, 0)}
    assert polled == {"hits": False, "hits:hits": False, "fill": True, "fill:fill": True}
