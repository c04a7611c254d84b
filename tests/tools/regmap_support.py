"""What the register-map suites share: the test maps, the simulated plug-in, the tools package
on the path, and a Python device that records every register call."""

import pathlib
import sys

import pyvorn_device

TESTS_DIR = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TESTS_DIR.parent / "tools"))
MAPS = TESTS_DIR / "tools" / "maps"
RDL, IPXACT = MAPS / "demo.rdl", MAPS / "demo.xml"
BUILD_DIR = pathlib.Path(pyvorn_device.__file__).resolve().parent
SIM_PLUGIN = BUILD_DIR / "pyvorn_device_plugins" / "libvorn_sim.so"


class RecordingDevice(pyvorn_device.Device):
    """Registers in a dict, every call recorded; `w1c` maps an address to the bits that a
    written 1 clears (and that set_register leaves alone where the mask does not cover them)."""

    def __init__(self, w1c: dict[int, int] | None = None) -> None:
        super().__init__()
        self.values: dict[int, int] = {}
        self.staged: dict[int, tuple[int, int]] = {}
        self.calls: list[tuple] = []
        self.w1c = w1c or {}

    def set_register(self, addr, value, mask):
        self.calls.append(("set_register", addr, value, mask))
        old_value, old_mask = self.staged.get(addr, (0, 0))
        self.staged[addr] = ((old_value & ~mask) | (value & mask), old_mask | mask)
        return pyvorn_device.ReturnCode.Success

    def send_registers(self):
        self.calls.append(("send_registers",))
        for addr, (value, mask) in self.staged.items():
            clear = self.w1c.get(addr, 0)
            current = self.values.get(addr, 0)
            plain = (current & ~mask) | (value & mask & ~clear)
            self.values[addr] = (plain & ~clear) | (current & clear & ~(value & mask))
        self.staged.clear()
        return pyvorn_device.ReturnCode.Success

    def read_registers(self):
        self.calls.append(("read_registers",))
        return pyvorn_device.ReturnCode.Success

    def get_register(self, addr):
        return self.values.get(addr, 0)

    def count(self, name: str) -> int:
        return sum(1 for call in self.calls if call[0] == name)
