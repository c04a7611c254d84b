"""Register maps (pyvorn_device_tools.regmap): loading both formats, binding to the simulated
device (directly and through a loopback vorn-serve) and to a recording Python device."""

import random
import sys

import pytest

import pyvorn_device
from regmap_support import IPXACT, RDL, SIM_PLUGIN, TESTS_DIR, RecordingDevice

from pyvorn_device_tools.regmap import (AccessError, MapLoadError, RegisterMap,
                                        RegisterMapError)

sys.path.insert(0, str(TESTS_DIR / "python"))
from remote_server import REMOTE_PLUGIN, Server  # noqa: E402

BASE = 0x4000_0000
CTRL, IRQ = BASE + 0x100, BASE + 0x108


def test_systemrdl_and_ipxact_describe_the_same_map():
    rdl, xml = RegisterMap.load(RDL), RegisterMap.load(IPXACT)
    assert rdl.root.children == xml.root.children
    assert [r.path for r in rdl.registers] == [
        "blk.ctrl", "blk.status", "blk.irq", "blk.cmd", "blk.dma",
        "blk.chan[0]", "blk.chan[1]", "blk.chan[2]", "blk.chan[3]"]
    mode = rdl.register("blk.ctrl").field("mode")
    assert (mode.lsb, mode.width, [(e.name, e.value) for e in mode.encoding]) == (
        1, 2, [("idle", 0), ("single", 1), ("burst", 2), ("loop", 3)])
    irq = xml.register("blk.irq")
    assert [f.on_write for f in irq.fields] == ["woclr", "woclr", None]
    assert xml.register("blk.chan[3]").offset == 0x12C
    assert xml.register("blk.chan[3]").reset == 0x100
    assert rdl.register("blk.ctrl").reset == 0x400
    assert not xml.register("blk.status").writable and not xml.register("blk.cmd").readable


@pytest.fixture(params=["local", "remote"])
def sim(request):
    if request.param == "local":
        yield pyvorn_device.get_device_manager(SIM_PLUGIN).create_device("")
        return
    with Server() as server:
        manager = pyvorn_device.get_device_manager(REMOTE_PLUGIN)
        yield manager.create_device(f"endpoint={server.endpoint}")


def test_field_writes_change_only_their_bits_and_read_back_decoded(sim):
    regs = RegisterMap.load(RDL).bind(sim, base=BASE).blk
    sim.set_register_sync(CTRL, 0xFFFF_FFFF, 0xFFFF_FFFF)
    regs.ctrl.enable.write(0)
    assert sim.get_register_sync(CTRL) == 0xFFFF_FFFE
    regs.ctrl.mode = "single"
    assert sim.get_register_sync(CTRL) == 0xFFFF_FFFA
    regs.ctrl.divider.write(0x12)
    assert sim.get_register_sync(CTRL) == 0xFFFF_12FA
    assert regs.ctrl.read_fields() == {"enable": 0, "mode": "single", "divider": 0x12}
    regs.chan[-1].gain.write(0xBEEF)
    regs["dma"].length.write(4096)
    assert sim.get_register_sync(BASE + 0x12C) == 0xBEEF
    assert regs.lookup("chan[3].gain").read() == 0xBEEF
    assert regs.dma.read_fields() == {"length": 4096, "channel": 0}
    with pytest.raises(IndexError):
        regs.chan[4]


def test_a_staged_block_is_one_send_and_a_failed_one_sends_nothing():
    device = RecordingDevice()
    regs = RegisterMap.load(IPXACT).bind(device, base=BASE).blk
    with regs.staged():
        regs.ctrl.enable.set(1)
        regs.ctrl.mode = "burst"
        regs.dma.length.set(4096)
        regs.chan[1].gain.set(7)
        assert device.calls == []  # nothing reaches the device before the end
    assert device.count("send_registers") == 1
    assert ("set_register", CTRL, 0b101, 0b111) in device.calls
    assert device.count("set_register") == 3  # one per register
    assert regs.ctrl.read_fields()["mode"] == "burst" and regs.chan[1].gain.read() == 7

    device.calls.clear()
    with pytest.raises(ZeroDivisionError), regs.staged():
        regs.ctrl.enable.set(0)
        with regs.staged():
            regs.dma.length.set(1)
        1 / 0
    assert device.calls == []


def test_write_one_to_clear_touches_no_other_bits():
    device = RecordingDevice(w1c={IRQ: 0b11})
    device.values[IRQ] = 0b11  # done and error raised by the hardware
    regs = RegisterMap.load(RDL).bind(device, base=BASE).blk
    regs.irq.enable.write(1)
    assert device.values[IRQ] == 0x103  # both flags still pending
    regs.irq.done.write(1)
    assert device.values[IRQ] == 0x102
    assert device.count("read_registers") == 0  # masked writes, no read-modify-write


def test_access_rules_are_enforced_before_the_device_is_called():
    device = RecordingDevice()
    regs = RegisterMap.load(RDL).bind(device).blk
    refused = [lambda: regs.status.busy.write(1), lambda: regs.status.write(0),
               lambda: regs.cmd.go.read(), lambda: regs.cmd.read(),
               lambda: regs.cmd.read_fields()]
    for call in refused:
        with pytest.raises(AccessError):
            call()
    for call, error in [(lambda: regs.ctrl.mode.write("fast"), ValueError),
                        (lambda: regs.ctrl.divider.write(256), ValueError),
                        (lambda: regs.ctrl.enable.write(-1), ValueError),
                        (lambda: regs.ctrl.enable.write(1.0), TypeError)]:
        with pytest.raises(error):
            call()
    assert device.calls == []
    regs.cmd.go.write(1)
    assert ("set_register", 0x10C, 1, 1) in device.calls


@pytest.mark.parametrize("body, message", [
    ("reg { regwidth = 64; field {} f[63:0]; } wide @ 0x0;", "register wide is 64 bits wide"),
    ("reg { field {} f[0:0]; } far @ 0x100000000;", "register far at 0x100000000"),
    ("reg { field {} f[0:0]; } many[200000] @ 0x0 += 4;", "400000 registers and fields"),
    ("reg { field {} f[0:0] } broken;", "top.rdl:1:"),
])
def test_maps_a_device_cannot_hold_are_refused_at_load(tmp_path, body, message):
    source = tmp_path / "top.rdl"
    source.write_text(f"addrmap top {{ {body} }};\n")
    with pytest.raises(MapLoadError, match=message):
        RegisterMap.load(source)


def test_bind_refuses_a_base_that_pushes_a_register_past_32_bits():
    with pytest.raises(RegisterMapError, match=r"register blk\.chan\[3\] at 0x100000000"):
        RegisterMap.load(RDL).bind(RecordingDevice(), base=0xFFFF_FED4)


@pytest.mark.parametrize("source", [RDL, IPXACT])
def test_damaged_files_load_or_are_refused_never_anything_else(tmp_path, source):
    rng = random.Random(20)
    text = source.read_text()
    damaged = tmp_path / source.name
    for _ in range(60):
        chars = list(text)
        for _ in range(rng.randint(1, 4)):
            at = rng.randrange(len(chars))
            if rng.random() < 0.5:
                del chars[at:at + rng.randint(1, 20)]
            else:
                chars.insert(at, rng.choice('0123456789x[]{}<>;=@"/&'))
        damaged.write_text("".join(chars))
        try:
            RegisterMap.load(damaged)
        except MapLoadError:
            pass
