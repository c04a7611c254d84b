"""vorn-serve facing hostile clients: sessions answer only their owner, read replies carry only
the bytes read, the operator decides which devices clients open, limits bound what one client
costs, key files are handled like ssh's, flags mean what they say, and blocks travel in pieces."""

import os
import pathlib
import signal
import subprocess
import sys
import time

import pytest

import pyvorn_device
from conftest import UNDER_ASAN
from remote_server import (SERVER, RawClient, Server, read_key, remote_manager, rss_bytes,
                           session_of, wait_for)

RC = pyvorn_device.ReturnCode
ERROR = 2


def unknown(session: int) -> str:
    return (f"remote: no device {session} on this server "
            "(it was destroyed, or the server restarted)")


def keygen(prefix):
    return subprocess.run([str(SERVER), "--keygen", str(prefix)], capture_output=True, text=True,
                          timeout=10)


def curve_setup(tmp_path, *clients):
    for name in ("server", *clients):
        assert keygen(tmp_path / name).returncode == 0
    allowed = tmp_path / "allowed"
    allowed.mkdir()
    for name in clients:
        (allowed / f"{name}.pub").write_text((tmp_path / f"{name}.pub").read_text())
    return ["--curve-secret", str(tmp_path / "server.secret"), "--allow-keys", str(allowed)]


def curve_options(tmp_path, client):
    return f"server_key={tmp_path / 'server.pub'} client_secret={tmp_path / (client + '.secret')}"


@pytest.mark.parametrize("curve", [False, True], ids=["plain", "curve"])
def test_a_session_answers_only_the_client_that_created_it(tmp_path, curve):
    args = curve_setup(tmp_path, "alice", "bob") if curve else []
    with Server(*args) as server:
        keys = curve_options(tmp_path, "alice") if curve else ""
        victim = remote_manager().create_device(f"endpoint={server.endpoint} {keys}")
        assert victim.set_register_sync(0x10, 0x1234, 0xFFFF) == RC.Success
        session = session_of(victim)
        bob = {}
        if curve:
            bob = dict(server_public=read_key(tmp_path / "server.pub"),
                       secret=read_key(tmp_path / "bob.secret"),
                       public=read_key(tmp_path / "bob.pub"))
        raw = RawClient(server.endpoint, **bob)
        try:
            for op, fields in (("get_register_sync", dict(addr=0x10)),
                               ("set_register_sync", dict(addr=0x10, value=7, mask=0xFFFF)),
                               ("get_info", {}), ("read", dict(length=16)),
                               ("stream_start", dict(length=64)), ("stream_stop", dict(stream=1)),
                               ("attach", dict(length=session)), ("destroy_device", {})):
                reply, text, payload = raw.request(op, session=session, **fields)
                assert (reply["status"], text, payload) == (ERROR, unknown(session), []), op
            mine, _, _ = raw.request("create_device")
            assert mine["status"] == 0
            # 64 random bits: a neighbour's number is not one's own plus or minus a little.
            assert abs(mine["session"] - session) > 1 << 32
        finally:
            raw.close()
        assert victim.get_register_sync(0x10) == 0x1234
        assert "2 devices" in victim.get_status()


def test_a_read_reply_carries_only_the_bytes_the_device_reported():
    with Server() as server:
        raw = RawClient(server.endpoint)
        try:
            created, _, _ = raw.request("create_device")
            for _ in range(20):  # the server's heap has other clients' bytes to leak
                reply, text, payload = raw.request("read", session=created["session"],
                                                   addr=0xFFFF_0000, length=100_000)
                assert (reply["length"], payload) == (0, []), text
            reply, text, payload = raw.request("read", session=created["session"],
                                               length=1 << 30)
            assert reply["status"] == ERROR and payload == [] and "--max-message" in text
        finally:
            raw.close()


def test_clients_open_only_the_devices_the_operator_publishes():
    manager = remote_manager()
    with Server("--device", "far=name=far_away", "--device", "near=name=close_by") as server:
        far = manager.create_device(f"endpoint={server.endpoint} device=far")
        assert "far_away" in far.get_info()
        with pytest.raises(ValueError, match="--client-options"):
            manager.create_device(f"endpoint={server.endpoint} device=far -- name=mine")
        with pytest.raises(ValueError, match="no device named 'default'.*far near"):
            manager.create_device(f"endpoint={server.endpoint}")
        assert f"{server.endpoint}: far near" in manager.list_devices()
        tools = pathlib.Path(__file__).resolve().parents[2] / "tools"
        vorn = subprocess.run(
            [sys.executable, "-m", "pyvorn_device_tools", "info", "remote", "-o",
             f"endpoint={server.endpoint}"], capture_output=True, text=True,
            timeout=60, env=dict(os.environ, PYTHONPATH=os.pathsep.join([*sys.path, str(tools)])))
        assert f"{server.endpoint}: far near" in vorn.stdout, vorn.stderr
    with Server("--client-options") as server:
        own = manager.create_device(f"endpoint={server.endpoint} -- name=mine")
        assert "mine" in own.get_info()
        assert "clients may add their own options" in server.log()


def test_limits_refuse_with_a_text_naming_their_flag():
    with Server() as server:
        raw = RawClient(server.endpoint)
        try:
            replies = [raw.request("create_device") for _ in range(17)]
        finally:
            raw.close()
        assert [r[0]["status"] for r in replies] == [0] * 16 + [ERROR]
        assert "limit of 16 devices" in replies[16][1] and "--max-devices" in replies[16][1]
    with Server("--max-streams", "1", "--max-clients", "1") as server:
        device = remote_manager().create_device(f"endpoint={server.endpoint}")
        stream = device.start_read_stream(0, lambda payload, text: None, chunk_size=1024)
        assert stream is not None
        assert device.start_read_stream(0, lambda payload, text: None) is None
        assert "--max-streams" in device.get_status()
        stream.stop()
        with pytest.raises(RuntimeError, match="--max-clients"):
            remote_manager().create_device(f"endpoint={server.endpoint}")
        assert "--max-clients" in server.log()


def test_a_huge_chunk_size_is_refused_before_the_plugin():
    with Server() as server:
        device = remote_manager().create_device(f"endpoint={server.endpoint}")
        assert device.start_read_stream(0, lambda p, t: None, chunk_size=2**64 - 1) is None
        assert "over the server's limit" in device.get_status()
        assert device.set_register_sync(1, 2, 3) == RC.Success
        assert server.process.poll() is None


def test_a_client_that_never_reads_costs_bounded_memory():
    with Server() as server:
        raw = RawClient(server.endpoint, rcvhwm=1)  # takes one chunk, then never reads again
        flood = RawClient(server.endpoint)
        try:
            created, _, _ = raw.request("create_device")  # streams as fast as it can
            started, text, _ = raw.request("stream_start", session=created["session"],
                                           length=4 << 20)
            assert started["status"] == 0, text
            for _ in range(6):  # over the frame limit: the connection is dropped unread
                flood.send("write", session=created["session"], payload=bytes(64 << 20))
            time.sleep(3)
            # About 45 MB here; ASan's quarantine keeps freed chunks a while longer.
            assert rss_bytes(server.process.pid) < (1 << 30 if UNDER_ASAN else 256 << 20)
        finally:
            raw.close()
            flood.close()
        assert server.process.poll() is None


def test_key_files_are_created_safely_and_checked_when_loaded(tmp_path):
    args = curve_setup(tmp_path, "alice")
    secret = tmp_path / "server.secret"
    assert secret.stat().st_mode & 0o777 == 0o600
    before = secret.read_text()
    again = keygen(tmp_path / "server")
    assert again.returncode == 1 and "exists already" in again.stderr
    assert secret.read_text() == before
    (tmp_path / "trap.secret").symlink_to(tmp_path / "elsewhere")
    assert keygen(tmp_path / "trap").returncode == 1
    assert not (tmp_path / "elsewhere").exists()

    def serve(*extra):
        return subprocess.run([str(SERVER), "sim", "--bind", "tcp://127.0.0.1:*", *extra],
                              capture_output=True, text=True, timeout=20)

    secret.chmod(0o640)
    result = serve(*args)
    assert result.returncode == 1 and "chmod 600" in result.stderr
    secret.chmod(0o600)
    (tmp_path / "allowed" / "leaked").write_text((tmp_path / "alice.secret").read_text())
    result = serve(*args)
    assert result.returncode == 1 and "allowed/leaked" in result.stderr
    (tmp_path / "allowed" / "leaked").unlink()
    with Server(*args) as server:
        with pytest.raises(RuntimeError, match="secret key where a public key is needed"):
            remote_manager().create_device(f"endpoint={server.endpoint} server_key={secret} "
                                           f"client_secret={tmp_path / 'alice.secret'}")


def test_sighup_rereads_the_allowed_keys_and_revokes_a_removed_one(tmp_path):
    args = curve_setup(tmp_path, "alice", "bob")
    with Server(*args) as server:
        options = f"endpoint={server.endpoint} timeout_ms=500 {curve_options(tmp_path, 'alice')}"
        device = remote_manager().create_device(options)
        assert device.get_register_sync(1) == 0
        (tmp_path / "allowed" / "alice.pub").unlink()
        server.process.send_signal(signal.SIGHUP)
        assert wait_for(lambda: "allowed keys re-read" in server.log())
        assert device.get_register_sync(1) is None
        assert "revoked (its key left the allowed folder)" in server.log()
        with pytest.raises(RuntimeError):
            remote_manager().create_device(options)


def test_flags_and_addresses_mean_what_they_say():
    for args, says in ((["--client-timeout", "0"], "positive duration"),
                       (["--client-timeout", "-5"], "positive duration"),
                       (["--client-timeout", "3x"], "positive duration"),
                       (["--bind", "tcp://127.0.0.1:99999"], "port '99999'")):
        result = subprocess.run([str(SERVER), "libnone.so", *args], capture_output=True,
                                text=True, timeout=10)
        assert result.returncode == 2 and says in result.stderr, (args, result.stderr)
    for bind in ("tcp://localhost:*", "tcp://[::1]:*"):
        with Server("--client-timeout", "2500ms", bind=bind, plugin="sim") as server:
            device = remote_manager().create_device(f"endpoint={server.endpoint}")
            assert device.set_register_sync(1, 5, 0xFF) == RC.Success


def test_client_text_cannot_forge_log_lines_and_refusals_are_folded():
    with Server() as server:
        raw = RawClient(server.endpoint)
        try:
            for _ in range(20):
                reply, _, _ = raw.request("create_device",
                                          text="x\x1b[2K\r2026-01-01 00:00:00.000 info forged")
                assert reply["status"] == ERROR
        finally:
            raw.close()
        log = server.log()
        assert "\x1b" not in log and "\r" not in log
        lines = [line for line in log.splitlines() if "forged" in line]
        assert len(lines) == 1 and "x\\x1b[2K\\x0d2026-01-01" in lines[0], lines


def test_blocks_travel_in_pieces_under_the_servers_frame_limit():
    with Server("--max-message", "64k") as server:
        device = remote_manager().create_device(f"endpoint={server.endpoint}")
        data = bytes(range(256)) * 3907  # a million bytes: 16 pieces, the last one short
        assert device.write(0x1000, data) == len(data)
        back = bytearray(len(data))
        assert device.read(0x1000, back) == len(data) and back == data
