"""The `vorn` command line (tools/pyvorn_device_tools), run as users run it: in a subprocess,
against the simulated plug-in and the faulty test plug-ins."""

import os
import re
import signal
import subprocess
import sys
import time

import pytest

from conftest import BUILD_DIR, TESTS_DIR, test_plugin

TOOLS_DIR = TESTS_DIR.parent.parent / "tools"
sys.path.insert(0, str(TOOLS_DIR))
from pyvorn_device_tools import cli, device_commands, exit_codes, sdk, streaming  # noqa: E402
from pyvorn_device_tools.target import size  # noqa: E402

PATTERN = bytes(i % 251 for i in range(251 * 200))


def vorn_process(*args: str, **kwargs) -> subprocess.Popen:
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD_DIR), str(TOOLS_DIR)]))
    return subprocess.Popen([sys.executable, "-m", "pyvorn_device_tools", *args], env=env,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def vorn(*args: str, timeout: float = 60) -> tuple[int, str, str]:
    process = vorn_process(*args)
    out, err = process.communicate(timeout=timeout)
    return process.returncode, out, err


def test_info_and_register_round_trip():
    status, out, _ = vorn("info", "sim")
    assert status == 0 and "location:" in out and "stream_bytes=N" in out
    status, out, _ = vorn("reg", "sim", "0x10", "0xCAFE")
    assert status == 0 and out.strip() == "0x00000010 = 0x0000cafe (51966)"
    status, _, err = vorn("reg", "sim", "-o", "fail_send=1", "0x11", "1")
    assert status == 1 and "register at 0x11: the device returned Failure" in err, err


@pytest.mark.parametrize("args, status, text", [
    (["reg", "sim", "0x1_0000_0000"], 2, "32-bit range"),
    (["reg", "sim", "ten"], 2, "not a number"),
    (["capture", "sim", "--seconds", "1", "--bytes", "5"], 2, "not allowed with"),
    (["info", "nosuch"], 1, "no plug-in named 'nosuch'"),
    (["info", "/nonexistent/libx.so"], 1, "Device Manager not found"),
    (["sdk", "--cmake-dir"], 1, "no SDK"),  # a build tree has none; check.sh covers pip's
    (["dump", "sim", "0", "100G"], 2, "too large"),
    (["dump", "sim", "0", "0xffffffffffffffff"], 2, "too large"),
    (["dump", "sim", "0xFFFFFF00", "512"], 2, "past the 32-bit address space"),
    (["capture", "sim", "--seconds", "-1"], 2, "positive, finite"),
    (["capture", "sim", "--seconds", "nan"], 2, "positive, finite"),
    (["capture", "sim", "--bytes", "64K"], 2, "Ki/Mi/Gi"),
    (["capture", "sim", "--bytes", "1", "--chunk-size", "2Gi"], 2, "too large"),
    (["capture", "sim", "--bytes", "1", "--max-queue", "1"], 2, "at least 64"),
    (["sdk", "--new-plugin", "x", "--name", "my-plugin"], 2, "not a C identifier"),
])
def test_errors_have_their_exit_status_and_say_why(args, status, text):
    got, _, err = vorn(*args)
    assert got == status and text in err and "Traceback" not in err, err


def test_sizes_take_si_and_iec_suffixes():
    assert [size(text, 2**40) for text in ["64k", "64Ki", "3M", "1Mi", "2Gi", "0x10", "1_000"]] == [
        64_000, 65_536, 3_000_000, 2**20, 2**31, 16, 1000]


def test_a_closed_pipe_ends_quietly():
    process = vorn_process("check", "sim")
    process.stdout.close()  # the reader has gone before the checker's first line
    with process.stderr:
        err = process.stderr.read()
    assert process.wait(timeout=180) == exit_codes.FAILURE and err == "", err


def test_load_then_dump_through_files_and_hexdump(tmp_path, monkeypatch, capsys, device):
    # The simulated device keeps blocks per device: both commands get the same one.
    monkeypatch.setattr(device_commands, "open_device", lambda plugin, options: device)
    source, back = tmp_path / "in.bin", tmp_path / "out.bin"
    source.write_bytes(bytes(range(256)) * 4)
    assert cli.main(["load", "sim", "0x2000", str(source)]) == 0
    assert cli.main(["dump", "sim", "0x2000", "1024", "-f", str(back)]) == 0
    assert back.read_bytes() == source.read_bytes()
    capsys.readouterr()
    assert cli.main(["dump", "sim", "0x2000", "32"]) == 0
    assert capsys.readouterr().out.splitlines()[1] == (
        "00002010  10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f  |................|")
    # The block space is memory: beyond what was written it reads zeros...
    assert cli.main(["dump", "sim", "0x2000", "2000", "-f", str(back)]) == 0
    assert back.read_bytes() == source.read_bytes() + bytes(976)
    # ...and past its end (1 MiB) nothing.
    assert cli.main(["dump", "sim", "0xFFF00", "512", "-f", str(back)]) == 1
    assert "reading 512 bytes at 0xfff00: the device returned 0" in capsys.readouterr().err
    source.write_bytes(b"")
    assert cli.main(["load", "sim", "0x2000", str(source)]) == 1
    assert "the file is empty" in capsys.readouterr().err


def test_capture_writes_the_pattern_exactly(tmp_path):
    out = tmp_path / "out.bin"
    status, _, err = vorn("capture", "sim", "-o", "stream_bytes=10000000", "--bytes",
                          "10000000", "-f", str(out))
    assert status == 0, err
    data = out.read_bytes()
    assert len(data) == 10_000_000
    assert all(data[i:i + len(PATTERN)] == PATTERN[:len(data) - i]
               for i in range(0, len(data), len(PATTERN)))
    assert "dropped 0" in err


def test_capture_exit_status_on_drops_unless_allowed():
    args = ["capture", "sim", "--seconds", "0.5", "--max-queue", "64", "-q"]
    status, _, err = vorn(*args)
    assert status == exit_codes.DROPS == 3 and "dropped 0," not in err, err
    assert vorn(*args, "--allow-drops")[0] == 0


def test_capture_counts_every_lost_chunk_not_each_drop_text(tmp_path):
    out = tmp_path / "out.bin"
    status, _, err = vorn("capture", "sim", "-o", "stream_fill=0,stream_stamp=1",
                          "--chunk-size", "4096", "--max-queue", "64", "--seconds", "1",
                          "--allow-drops", "-q", "-f", str(out))
    data = out.read_bytes()
    stamps = [int.from_bytes(data[i:i + 8], "little") for i in range(0, len(data), 4096)]
    missing = stamps[-1] + 1 - len(stamps)  # chunks lost before the last one written
    reported = int(re.search(r"dropped (\d+),", err).group(1))  # type: ignore[union-attr]
    assert status == 0 and missing > 0 and reported >= missing, err


@pytest.mark.parametrize("options, limit, reason, counted", [
    ("stream_bytes=1000", ["--bytes", "1000000"], "got 1000 of the 1000000 bytes",
     "ended by the device"),
    ("stream_bytes=40960,stream_error_every=1", ["--seconds", "60"],
     "the device reported 10 error(s)",
     "device errors 10 (last: sim: injected error after chunk 10)"),
])
def test_capture_fails_when_data_is_missing(options, limit, reason, counted):
    status, _, err = vorn("capture", "sim", "-o", options, *limit, "-q", "--allow-drops")
    assert status == exit_codes.FAILURE and reason in err and counted in err, err


def test_capture_ctrl_c_keeps_what_was_written_and_prints_the_summary(tmp_path):
    out = tmp_path / "out.bin"
    # A run started in the background inherits SIGINT ignored; the tool's user has Ctrl-C.
    process = vorn_process("capture", "sim", "-o", "stream_rate=2000", "--seconds", "60",
                           "-f", str(out),
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    deadline = time.monotonic() + 30
    while (not out.exists() or out.stat().st_size == 0) and time.monotonic() < deadline:
        time.sleep(0.1)  # until the stream runs
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=30)
    assert process.returncode == 130 and "interrupted:" in err, err
    data = out.read_bytes()
    assert len(data) > 0 and data[:len(PATTERN)] == PATTERN[:len(data)]
    assert f"interrupted: {len(data)} bytes" in err


def test_ctrl_c_exits_130_even_after_drops():
    process = vorn_process("capture", "sim", "--seconds", "60", "--max-queue", "64",
                           preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert "drops" in process.stderr.readline()  # a progress line: the stream runs
    process.send_signal(signal.SIGINT)
    _, err = process.communicate(timeout=30)
    assert process.returncode == exit_codes.INTERRUPTED and "interrupted:" in err, err
    assert "dropped 0," not in err


def test_drop_texts_are_counted_apart_from_device_errors():
    counts = streaming.StreamCounts()
    for text in ["Queue Overflow, dropping event", "Memory Allocation Failure, dropping event",
                 "Queue Overflow, dropping event", "sensor unplugged",
                 "remote: 7 chunks dropped by the server", "remote: 2 chunks dropped by the server"]:
        streaming.count_error(counts, text)
    assert (counts.dropped, counts.remote_dropped, counts.allocation_failures,
            counts.device_errors) == (2, 9, 1, 1)
    assert counts.lost == 12 and counts.last_device_error == "sensor unplugged"


def test_new_plugin_writes_a_named_project_once(tmp_path):
    project = tmp_path / "board_x"
    status, out, err = vorn("sdk", "--new-plugin", str(project))
    assert status == 0, err
    assert sorted(p.name for p in project.iterdir()) == ["CMakeLists.txt", "README.md",
                                                          "board_x.cpp"]
    assert "add_library(board_x MODULE board_x.cpp)" in (project / "CMakeLists.txt").read_text()
    assert sdk.PLACEHOLDER not in "".join(p.read_text() for p in project.iterdir())
    status, _, err = vorn("sdk", "--new-plugin", str(project), "--name", "other")
    assert status == 1 and "not an empty directory" in err


def test_check_passes_sim_and_names_the_fault_of_a_faulty_plugin():
    status, out, _ = vorn("check", "sim", timeout=180)
    assert status == 0 and "FAIL" not in out and out.count("PASS") >= 13, out
    status, out, _ = vorn("check", str(test_plugin("event_after_end")), timeout=180)
    assert status == 1 and "FAIL  nothing_after_end" in out, out


def test_bench_reports_register_cost_and_stream_rate():
    status, out, err = vorn("bench", "sim", "-o", "stream_rate=2000", "--seconds", "0.5")
    assert status == 0, err
    assert "get_register_sync:" in out and "us per call" in out
    assert "stream: sustained" in out and "no drops" in out
