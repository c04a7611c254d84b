"""The remote plug-in against vorn-serve on loopback: round trips, a long byte-exact stream,
security refusals, and the faults: a killed server, a killed client, a restarted server, many
clients at once."""

import os
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import pyvorn_device
from conftest import UNDER_ASAN, run_python
from remote_server import SERVER, PatternChecker, Server, free_port, remote_manager, wait_for

RC = pyvorn_device.ReturnCode
MB = 1_000_000


@pytest.fixture
def server():
    with Server("--client-timeout", "1s", "--client-options") as running:
        yield running


def test_demo_round_trips_and_documentation(server):
    manager = remote_manager()
    assert "endpoint=" in manager.info() and "timeout_ms" in manager.get_device_options()
    device = manager.create_device(f"endpoint={server.endpoint} -- name=far fail_read=false")
    assert "far" in device.get_info() and server.endpoint in device.get_info()
    assert device.set_register(0x10, 0xCAFE, 0xFFFF) == RC.Success
    assert device.send_registers() == RC.Success
    assert device.read_registers() == RC.Success
    assert device.get_register(0x10) == 0xCAFE
    assert device.set_register_sync(0x10, 0xBE00_0000, 0xFF00_0000) == RC.Success
    assert device.get_register_sync(0x10) == 0xBE00_CAFE
    assert device.trigger(3, -1) == RC.Success
    assert device.get_register_sync(0xFFFF0000) == 1
    assert device.get_register_sync(0xFFFF0008) == 0xFFFFFFFF  # the value travelled signed
    payload = bytes(range(256)) * 64
    assert device.write(0x2000, payload) == len(payload)
    back = bytearray(len(payload))
    assert device.read(0x2000, back) == len(payload) and back == payload
    assert device.get_register_sync(0x20) == 0  # never written
    assert "1 devices, 0 streams" in device.get_status()
    assert re.search(r"client 127.0.0.1 connected: device \d+ created as 'default' with its "
                     r"options 'name=far fail_read=false'", server.log())

    failing = manager.create_device(f"endpoint={server.endpoint} -- fail_send=1 fail_read=1")
    assert failing.send_registers() == RC.Failure
    assert failing.get_register_sync(0x10) is None
    with pytest.raises(ValueError, match="bogus"):
        manager.create_device(f"endpoint={server.endpoint} -- bogus=1")
    with pytest.raises(ValueError, match="endpoint"):
        manager.create_device("timeout_ms=10")


def test_unreachable_server_fails_within_the_timeout(server):
    manager = remote_manager()
    endpoint = f"tcp://127.0.0.1:{free_port()}"
    start = time.monotonic()
    with pytest.raises(RuntimeError, match=endpoint):
        manager.create_device(f"endpoint={endpoint} timeout_ms=300")
    assert time.monotonic() - start < 2

    device = manager.create_device(f"endpoint={server.endpoint} timeout_ms=300")
    server.kill()
    start = time.monotonic()
    assert device.set_register(1, 2, 3) == RC.Failure
    assert device.send_registers() == RC.Failure
    assert device.trigger(1, 1) == RC.Failure
    assert device.get_register_sync(1) is None
    assert device.write(0, b"abc") == 0
    assert device.read(0, bytearray(3)) == 0
    assert time.monotonic() - start < 6 * 0.3 + 1


def test_a_failed_calls_reason_reaches_get_status(server):
    device = remote_manager().create_device(
        f"endpoint={server.endpoint} timeout_ms=300 -- fail_send=1")
    assert device.send_registers() == RC.Failure
    assert f"last error: remote: {server.endpoint}: send_registers failed" in device.get_status()
    server.kill()
    assert device.trigger(1, 1) == RC.Failure
    # The status request fails too, and still says why rather than returning None.
    status = device.get_status()
    assert status is not None and status.endswith(
        f"last error: remote: no reply from {server.endpoint} within 300 ms"), status


def test_200_mb_aligned_stream_is_byte_exact(server):
    total = 200 * MB
    # Paced so that a loaded CI machine keeps up: this checks bytes, not speed.
    rate = 400 if UNDER_ASAN else 1500
    device = remote_manager().create_device(
        f"endpoint={server.endpoint} -- stream_bytes={total} stream_rate={rate}")
    checker = PatternChecker()
    stream = device.start_aligned_read_stream(0, 4096, checker, chunk_size=65536)
    assert checker.done.wait(total / (rate * 65536) + 60)
    stream.stop()
    stream.stop()  # a second stop returns at once
    assert (checker.offset, checker.bad, checker.texts) == (total, 0, [])


def test_non_loopback_bind_needs_keys_or_insecure():
    for bind in ("tcp://0.0.0.0:5555", "tcp://*:5555", "tcp://192.0.2.1:5555"):
        result = subprocess.run([str(SERVER), "libnone.so", "--bind", bind],
                                capture_output=True, text=True, timeout=10)
        assert result.returncode == 2
        assert f"refusing to bind {bind} without CURVE keys" in result.stderr


def test_curve_admits_allowed_keys_only(tmp_path):
    for name in ("server", "alice", "mallory"):
        subprocess.run([str(SERVER), "--keygen", str(tmp_path / name)], check=True, timeout=10)
    allowed = tmp_path / "allowed"
    allowed.mkdir()
    (allowed / "alice.pub").write_text((tmp_path / "alice.pub").read_text())
    with Server("--curve-secret", str(tmp_path / "server.secret"), "--allow-keys",
                str(allowed)) as server:
        manager = remote_manager()

        def options(client):
            return (f"endpoint={server.endpoint} timeout_ms=500 "
                    f"server_key={tmp_path / 'server.pub'} "
                    f"client_secret={tmp_path / (client + '.secret')}")

        device = manager.create_device(options("alice"))
        assert device.set_register_sync(4, 5, 0xFF) == RC.Success
        assert device.get_register_sync(4) == 5
        with pytest.raises(RuntimeError, match=server.endpoint):
            manager.create_device(options("mallory"))
        with pytest.raises(RuntimeError, match=server.endpoint):
            manager.create_device(f"endpoint={server.endpoint} timeout_ms=300")  # no keys
        assert "is not in" in server.log()


def test_server_killed_mid_stream_ends_the_stream_with_an_error():
    code = """
        import threading, time
        from remote_server import Server, remote_manager
        with Server("--client-options") as server:
            device = remote_manager().create_device(f"endpoint={server.endpoint} -- stream_rate=2000")
            calls, ended = [], threading.Event()
            def callback(payload, text):
                calls.append(text if payload is None else len(bytes(payload)))
                if payload is None and text is None:
                    ended.set()
            stream = device.start_read_stream(0, callback, chunk_size=1024)
            while len(calls) < 10:
                time.sleep(0.01)
            server.kill()
            killed = time.monotonic()
            assert ended.wait(2), "no end marker within 2 s"
            print("ended after", time.monotonic() - killed)
            texts = [c for c in calls if not isinstance(c, int)]
            assert texts[-1] is None and server.endpoint in texts[-2], texts
            start = time.monotonic()
            stream.stop()
            assert time.monotonic() - start < 2.5
            print("ok")
    """
    result = run_python(code, timeout=60)
    assert result.returncode == 0 and "ok" in result.stdout, result.stderr


def test_killed_client_is_noticed_and_cleaned_up(server):
    code = f"""
        import time
        from remote_server import remote_manager
        device = remote_manager().create_device("endpoint={server.endpoint} -- stream_rate=500")
        stream = device.start_read_stream(0, lambda payload, text: None)
        print("streaming", flush=True)
        time.sleep(60)
    """
    with subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                          text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
                          ) as client:
        try:
            assert client.stdout.readline().strip() == "streaming"
        finally:
            client.send_signal(signal.SIGKILL)
            client.wait(10)
    observer = remote_manager().create_device(f"endpoint={server.endpoint}")
    assert wait_for(lambda: "1 devices, 0 streams" in observer.get_status(), timeout=10), \
        observer.get_status()
    assert "disconnected (no heartbeat" in server.log()


def test_restarted_server_serves_new_devices():
    manager = remote_manager()
    with Server() as first:
        endpoint = first.endpoint
        old = manager.create_device(f"endpoint={endpoint} timeout_ms=500")
        first.kill()
    with Server(bind=endpoint) as second:
        device = manager.create_device(f"endpoint={endpoint}")
        assert device.set_register_sync(1, 7, 0xF) == RC.Success
        assert device.get_register_sync(1) == 7
        assert old.get_register_sync(1) is None  # the old device is gone with the old server
        assert second.endpoint == endpoint


def test_eight_clients_stream_at_once_byte_exact(server):
    total = 8 * MB
    devices = [remote_manager().create_device(
        f"endpoint={server.endpoint} -- stream_bytes={total} stream_rate=300")
        for _ in range(8)]
    checkers = [PatternChecker() for _ in devices]
    streams = [d.start_aligned_read_stream(0, 4096, c, chunk_size=32768)
               for d, c in zip(devices, checkers)]
    for checker in checkers:
        assert checker.done.wait(60)
    stop_threads = [threading.Thread(target=s.stop) for s in streams for _ in range(2)]
    for t in stop_threads:  # two threads stopping each stream at once
        t.start()
    for t in stop_threads:
        t.join(10)
    assert [(c.offset, c.bad, c.texts) for c in checkers] == [(total, 0, [])] * 8
    assert "8 devices, 0 streams" in devices[0].get_status()


def test_stream_outliving_its_device_ends_cleanly(server):
    code = f"""
        import threading
        from remote_server import remote_manager
        device = remote_manager().create_device("endpoint={server.endpoint} -- stream_rate=200")
        texts, ended = [], threading.Event()
        def callback(payload, text):
            if payload is None:
                texts.append(text)
                if text is None:
                    ended.set()
        stream = device.start_read_stream(0, callback)
        del device  # the stream keeps the plug-in loaded; the server destroys the device
        assert ended.wait(10), texts
        assert "was destroyed on the server" in texts[-2], texts
        stream.stop()
        print("ok")
    """
    result = run_python(code, timeout=60)
    assert result.returncode == 0 and "ok" in result.stdout, result.stderr
