"""The Linux plug-in on files the tests make: a sparse file as the register window, a fake
sysfs tree for UIO, and bad input of every kind. Streams: test_linux_streams.py."""

import os
import pathlib
import struct

import pytest

import pyvorn_device
from conftest import run_python
from linux_plugin_helpers import LINUX_PLUGIN, open_resources

Ok = pyvorn_device.ReturnCode.Success
Fail = pyvorn_device.ReturnCode.Failure
MIB = 1 << 20


@pytest.fixture
def linux():
    return pyvorn_device.get_device_manager(LINUX_PLUGIN)


@pytest.fixture
def window(tmp_path):
    path = tmp_path / "regs.bin"
    with open(path, "wb") as f:
        f.truncate(MIB)  # sparse
    return path


def differs_at(path, model):
    """The first offset where the window file differs from `model`, or None."""
    actual = path.read_bytes()
    return next((i for i, (x, y) in enumerate(zip(actual, model)) if x != y), None)


def test_registers_triggers_and_blocks_change_exactly_the_bytes_they_name(linux, window):
    dev = linux.create_device(f"regs={window}")
    model = bytearray(MIB)
    with open(window, "r+b") as f:  # a value already on the device side
        f.seek(0x20)
        f.write(struct.pack("<I", 0x12345678))
    struct.pack_into("<I", model, 0x20, 0x12345678)

    assert dev.set_register(0x10, 0xA1B2C3D4, 0xFFFFFFFF) == Ok
    assert dev.set_register(0x20, 0x0000AB00, 0x0000FF00) == Ok
    assert dev.set_register(0x20, 0xFFFFFFFF, 0x0000000F) == Ok  # applied after the first
    assert differs_at(window, model) is None  # staging touches nothing
    assert dev.send_registers() == Ok
    struct.pack_into("<II", model, 0x10, 0xA1B2C3D4, 0)
    struct.pack_into("<I", model, 0x20, 0x1234AB7F)
    assert differs_at(window, model) is None
    assert dev.send_registers() == Ok  # the stage was cleared
    assert dev.set_register_sync(MIB - 4, 0xCAFEF00D, 0xFFFF0000) == Ok
    assert dev.trigger(0x40, -2) == Ok
    struct.pack_into("<I", model, MIB - 4, 0xCAFE0000)
    struct.pack_into("<I", model, 0x40, 0xFFFFFFFE)
    assert differs_at(window, model) is None
    assert dev.get_register_sync(0x20) == 0x1234AB7F

    block = bytes(range(1, 38))
    assert dev.write(0x103, block) == len(block)  # ragged at both ends
    model[0x103:0x103 + len(block)] = block
    out = bytearray(41)
    assert dev.read(0x101, out) == 41 and out == model[0x101:0x101 + 41]
    assert (dev.write(MIB - 3, b"1234"), dev.read(MIB - 3, bytearray(4))) == (0, 0)  # no fit
    assert dev.write(MIB - 4, b"end!") == 4
    model[MIB - 4:] = b"end!"
    assert differs_at(window, model) is None

    status = dev.get_status()
    assert f"{window} offset=0 size={MIB}" in status
    assert "register writes=5 reads=4" in status  # three masked writes read first; one sync read


def test_read_registers_fetches_what_was_staged_or_asked_for(linux, window):
    dev = linux.create_device(f"regs={window}")
    fd = os.open(window, os.O_WRONLY)
    try:
        for addr, value in ((0x0, 1), (0x4, 2), (0x8, 3)):
            os.pwrite(fd, struct.pack("<I", value), addr)
        assert dev.set_register(0x0, 0, 0) == Ok  # staged, never sent
        assert dev.get_register(0x4) == 0  # asked for before any fetch
        assert dev.read_registers() == Ok
        assert [dev.get_register(a) for a in (0x0, 0x4, 0x8)] == [1, 2, 0]
        os.pwrite(fd, struct.pack("<I", 7), 0x4)
        assert dev.get_register(0x4) == 2  # the fetch, not the window
        assert dev.read_registers() == Ok
        assert [dev.get_register(a) for a in (0x0, 0x4, 0x8)] == [1, 7, 3]
    finally:
        os.close(fd)


@pytest.mark.parametrize("addr", [2, 0x101, MIB, MIB + 4, 2**32 - 4])
def test_bad_register_addresses_fail_and_touch_nothing(linux, window, addr):
    dev = linux.create_device(f"regs={window}")
    assert dev.set_register(addr, 1, 0xFFFFFFFF) == Fail
    assert dev.send_registers() == Ok  # nothing was staged
    assert dev.set_register_sync(addr, 1, 0xFFFFFFFF) == Fail
    assert dev.get_register_sync(addr) is None
    assert dev.trigger(addr, 1) == Fail
    assert window.read_bytes() == bytes(MIB)
    assert "writes=0 reads=0" in dev.get_status()


def test_without_a_window_register_operations_fail(linux):
    dev = linux.create_device("name=bare")
    assert (dev.set_register_sync(0, 1, 1), dev.read_registers()) == (Fail, Fail)
    assert dev.write(0, b"x") == 0
    assert dev.get_info() == "Linux device 'bare'"
    assert "regs: none; stream: none" in dev.get_status()


def make_uio(root, node, maps):
    """A fake /sys/class/uio/<node> with maps given as (name, addr, size, offset)."""
    base = root / "class" / "uio" / node
    (base).mkdir(parents=True)
    (base / "name").write_text(f"{node}_fpga\n")
    for i, (name, addr, size, offset) in enumerate(maps):
        m = base / "maps" / f"map{i}"
        m.mkdir(parents=True)
        for key, value in (("name", name), ("addr", hex(addr)), ("size", f"0x{size:08x}"),
                           ("offset", hex(offset))):
            (m / key).write_text(value + "\n")


def test_uio_maps_and_list_devices_come_from_sysfs(linux, tmp_path, monkeypatch):
    sysfs = tmp_path / "sys"
    monkeypatch.setenv("VORN_LINUX_SYSFS_ROOT", str(sysfs))
    assert linux.list_devices() == f"no UIO devices ({sysfs}/class/uio lists none)"
    make_uio(sysfs, "uio0", [("ctrl", 0x40000000, 0x1000, 0), ("dma", 0x40010000, 0x100, 0x80)])
    make_uio(sysfs, "uio10", [("ctrl", 0x50000000, 0x2000, 0)])
    make_uio(sysfs, "uio2", [])
    assert linux.list_devices().splitlines() == [
        "/dev/uio0  name=uio0_fpga  map0: name=ctrl size=0x1000 addr=0x40000000"
        "  map1: name=dma size=0x100 addr=0x40010000",
        "/dev/uio2  name=uio2_fpga",
        "/dev/uio10  name=uio10_fpga  map0: name=ctrl size=0x2000 addr=0x50000000"]

    node = tmp_path / "uio0"  # stands in for /dev/uio0
    page = os.sysconf("SC_PAGESIZE")
    with open(node, "wb") as f:
        f.truncate(3 * page)
    dev = linux.create_device(f"regs={node},uio_map=1")
    assert "size=256 uio_map=1" in dev.get_status()
    assert dev.set_register_sync(0xFC, 0xDEADBEEF, 0xFFFFFFFF) == Ok
    assert dev.set_register_sync(0x100, 1, 1) == Fail  # past the map's size
    data = node.read_bytes()
    assert data[page + 0x80 + 0xFC:page + 0x80 + 0x100] == b"\xef\xbe\xad\xde"
    assert data.count(0) == len(data) - 4
    with pytest.raises(RuntimeError, match="map2/size"):
        linux.create_device(f"regs={node},uio_map=2")
    with pytest.raises(ValueError, match="larger than UIO map 0 of uio0"):
        linux.create_device(f"regs={node},uio_map=0,size=0x1004")


def test_manager_texts_and_option_errors(linux, window):
    text = linux.get_device_options()
    assert all(f"{key}=" in text for key in ("regs", "uio_map", "offset", "size", "stream", "name"))
    assert linux.location().name == "libvorn_linux.so"
    with pytest.raises(ValueError, match="unknown option 'bogus'"):
        linux.create_device("bogus=1")
    with pytest.raises(ValueError, match="bad value 'one' for option 'uio_map'"):
        linux.create_device(f"regs={window},uio_map=one")


def test_bad_paths_and_windows_are_refused_and_leave_nothing_open(linux, tmp_path, window):
    small = tmp_path / "small.bin"
    small.write_bytes(bytes(4096))
    locked = tmp_path / "locked.bin"
    locked.write_bytes(bytes(4096))
    locked.chmod(0)
    fifo = tmp_path / "fifo"  # no size, cannot be mapped: like a character device
    os.mkfifo(fifo)
    before = open_resources(tmp_path)
    cases = [
        (f"regs={tmp_path}/missing", RuntimeError, "missing: No such file or directory"),
        (f"regs={tmp_path}", RuntimeError, "Is a directory"),
        (f"regs={small},offset=4096", ValueError, "offset=4096 is beyond the end"),
        (f"regs={small},offset=4092,size=8", ValueError, "larger than .*small.bin"),
        (f"regs={small},size=8192", ValueError, "8192 bytes at offset 0 is larger"),
        (f"regs={small},offset=2", ValueError, "4-byte boundary"),
        (f"regs={fifo}", ValueError, "size=N is needed for .*fifo: its size is unknown"),
        (f"regs={fifo},offset=0xFFFFFFFFFFFFFFF0,size=256", ValueError, "past the end of any"),
        (f"regs={fifo},size=4096", RuntimeError, "cannot map .*fifo: No such device"),
    ]
    if os.geteuid() != 0:  # root reads anything
        cases.append((f"regs={locked}", RuntimeError, "locked.bin: Permission denied"))
    for options, error, match in cases:
        with pytest.raises(error, match=match):
            linux.create_device(options)
    (tmp_path / "empty").touch()
    with pytest.raises(ValueError, match="beyond the end"):
        linux.create_device(f"regs={tmp_path / 'empty'}")
    dev = linux.create_device(f"regs={small},offset=4088")  # the window may end at the file's end
    assert dev.set_register_sync(4, 9, 0xFFFFFFFF) == Ok
    assert small.read_bytes()[4092:] == b"\x09\x00\x00\x00"
    del dev
    assert open_resources(tmp_path) == before


@pytest.mark.parametrize("example", ["linux_uio_poke", "linux_resource_window", "linux_stream"])
def test_examples_run_their_dry_runs(example):
    script = pathlib.Path(__file__).resolve().parents[2] / "examples" / f"{example}.py"
    result = run_python(f"""
        import runpy, sys
        sys.argv = [{str(script)!r}, "--dry-run"]
        runpy.run_path(sys.argv[0], run_name="__main__")
        """, timeout=60)
    assert result.returncode == 0, result.stderr
    assert "regs: " in result.stdout


def test_a_register_file_that_shrinks_fails_calls_beyond_its_end_instead_of_killing(tmp_path):
    # A mapping of it gave SIGBUS on the next access past the new end.
    regs = tmp_path / "regs"
    regs.write_bytes(bytes(8192))
    result = run_python(f"""
import os
import pyvorn_device
from pyvorn_device import ReturnCode
from linux_plugin_helpers import LINUX_PLUGIN
device = pyvorn_device.get_device_manager(LINUX_PLUGIN).create_device("regs={regs}")
assert device.set_register_sync(0x1800, 7, 0xFFFFFFFF) == ReturnCode.Success
os.truncate({str(regs)!r}, 4096)
outcome = [device.get_register_sync(0x1800), device.set_register_sync(0x1800, 1, 0xFFFFFFFF),
           device.trigger(0x1800, 1), device.read(0x1000, bytearray(16)),
           device.write(0x0ff8, b"0123456789abcdef"), device.read_registers()]
assert device.set_register_sync(8, 5, 0xFFFFFFFF) == ReturnCode.Success  # what is left still works
print("OUTCOME", outcome, device.get_register_sync(8), os.path.getsize({str(regs)!r}))
""", timeout=60)
    assert result.returncode == 0, result.stdout + result.stderr
    assert ("OUTCOME [None, <ReturnCode.Failure: 1>, <ReturnCode.Failure: 1>, 0, 0, "
            "<ReturnCode.Failure: 1>] 5 4096") in result.stdout, result.stdout
