"""vorn reg --map and vorn regs: in process on one shared simulated device, and --watch in a
subprocess stopped with Ctrl-C."""

import os
import signal
import subprocess
import sys
import time

import pyvorn_device
from regmap_support import BUILD_DIR, RDL, SIM_PLUGIN, TESTS_DIR

from pyvorn_device_tools import cli, regmap_commands
from pyvorn_device_tools.regmap import RegisterMap
from pyvorn_device_tools.regmap.table import CHANGED, render


def test_reg_and_regs_by_name(monkeypatch, capsys):
    device = pyvorn_device.get_device_manager(SIM_PLUGIN).create_device("")
    monkeypatch.setattr(regmap_commands, "open_device", lambda plugin, options: device)
    base = ["--map", str(RDL), "--base", "0x1000"]
    assert cli.main(["reg", "sim", "blk.ctrl.mode", "loop", *base]) == 0
    assert capsys.readouterr().out == "blk.ctrl.mode = loop (0x3)\n"
    assert cli.main(["reg", "sim", "blk.chan[2]", "0x1234", *base]) == 0
    assert device.get_register_sync(0x1128) == 0x1234
    assert cli.main(["reg", "sim", "blk.status.busy", "1", *base]) == 1
    assert "blk.status.busy is read-only" in capsys.readouterr().err
    assert cli.main(["reg", "sim", "blk.ctrl", "1", "1", *base]) == 2  # no MASK with names
    assert cli.main(["regs", "sim", *base]) == 0
    table = capsys.readouterr().out
    assert "\033" not in table  # plain when not on a terminal
    assert "blk.ctrl     0x00001100  0x00000006  enable=0 mode=loop divider=0" in table
    assert "blk.cmd      0x0000110c  (write-only)" in table


def test_changed_values_are_highlighted_on_a_terminal():
    device = pyvorn_device.get_device_manager(SIM_PLUGIN).create_device("")
    regs = RegisterMap.load(RDL).bind(device).blk
    before = {r.address: v for r, v in regs.read_all()}
    regs.ctrl.divider.write(3)
    lines = render(regs.read_all(), colour=True, previous=before).splitlines()
    ctrl = next(line for line in lines if "blk.ctrl" in line)
    assert f"{CHANGED}divider=3" in ctrl and f"{CHANGED}enable" not in ctrl
    assert not any(CHANGED in line for line in lines if line != ctrl)
    plain = render(regs.read_all(), colour=False, previous=before)
    assert "divider=3*" in plain and "enable=0*" not in plain


def test_watch_redraws_until_ctrl_c(tmp_path):
    out = tmp_path / "out.txt"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(BUILD_DIR),
                                                       str(TESTS_DIR.parent / "tools")]))
    with open(out, "w") as sink:
        # A run started in the background inherits SIGINT ignored; the tool's user has Ctrl-C.
        process = subprocess.Popen(
            [sys.executable, "-m", "pyvorn_device_tools", "regs", "sim", "--map", str(RDL),
             "--watch", "--interval", "0.05"], env=env, stdout=sink, stderr=subprocess.PIPE,
            text=True, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
        deadline = time.monotonic() + 30
        while out.read_text().count("Ctrl-C stops") < 3 and time.monotonic() < deadline:
            time.sleep(0.05)
        process.send_signal(signal.SIGINT)
        _, err = process.communicate(timeout=30)
    assert process.returncode == 0 and err == "", err
    assert out.read_text().count("blk.ctrl ") >= 3
