"""Register, field and trigger PVs, and the device's status and info.

Every method here runs on the device thread (DeviceWorker), or before the server starts."""

from typing import Any

import pyvorn_device
from pyvorn_device import ReturnCode

from pyvorn_device_tools.pva.pvs import (INVALID, MINOR, ChangePoster, PutError, PutGate,
                                         enum_pv, scalar_pv)
from pyvorn_device_tools.pva.config import BitsConfig, TriggerConfig


class BitsPV:
    """The bits of one register as an unsigned integer (NTScalar), or as a name (NTEnum)."""

    def __init__(self, config: BitsConfig, gate: PutGate, bank: "RegisterBank") -> None:
        self.config = config
        self.bank = bank
        write = self.write if config.writable else None
        if config.choices:
            self.pv = enum_pv([name for name, _ in config.choices], config.description,
                              gate.handler(write))
        else:
            self.pv = scalar_pv("I", 0, config.description, gate.handler(write))
        self.poster = ChangePoster(self.pv)

    def show(self, word: int | None) -> None:
        if word is None:
            self.poster.alarm(INVALID, "read failed", 0)
            return
        value = (word & self.config.mask) >> self.config.shift
        if not self.config.choices:
            self.poster.show(value)
            return
        for index, (_, encoded) in enumerate(self.config.choices):
            if encoded == value:
                self.poster.show(index)
                return
        self.poster.show(-1, MINOR, f"value {value} has no name")

    def write(self, put: Any) -> None:
        value = int(put)
        if self.config.choices:
            if not 0 <= value < len(self.config.choices):
                raise PutError(f"choice {value} out of range 0..{len(self.config.choices) - 1}")
            value = self.config.choices[value][1]
        if not 0 <= value <= self.config.largest:
            raise PutError(f"value {value} does not fit the mask {self.config.mask:#x} "
                           f"(0..{self.config.largest})")
        self.bank.write(self.config, value)


class RegisterBank:
    """All register and field PVs, grouped by address: a poll reads each address once."""

    def __init__(self, device: pyvorn_device.Device, configs: list[BitsConfig], prefix: str,
                 gate: PutGate) -> None:
        self.device = device
        self.pvs: dict[str, Any] = {}
        self.by_addr: dict[int, list[BitsPV]] = {}
        for config in configs:
            bits = BitsPV(config, gate, self)
            self.pvs[prefix + config.name] = bits.pv
            self.by_addr.setdefault(config.addr, []).append(bits)

    def poll(self) -> None:
        for addr in self.by_addr:
            self.refresh(addr)

    def refresh(self, addr: int) -> None:
        readable = [bits for bits in self.by_addr[addr] if bits.config.readable]
        if readable:
            word = self.device.get_register_sync(addr)
            for bits in readable:
                bits.show(word)

    def write(self, config: BitsConfig, value: int) -> None:
        """One masked sync write, then a read-back that updates every PV of the register."""
        shifted = value << config.shift
        mask = config.mask if config.write_mask is None else config.write_mask
        if self.device.set_register_sync(config.addr, shifted, mask) != ReturnCode.Success:
            raise PutError(f"the device answered Failure to set_register_sync({config.addr:#x}, "
                           f"{shifted:#x}, {mask:#x})")
        if config.readable:
            self.refresh(config.addr)
        else:
            for bits in self.by_addr[config.addr]:
                if bits.config == config:
                    bits.show(shifted)


class TriggerPV:
    """A put fires the trigger, with the configured value or else the put's own."""

    def __init__(self, device: pyvorn_device.Device, config: TriggerConfig, gate: PutGate) -> None:
        self.device = device
        self.config = config
        self.pv = scalar_pv("i", config.value or 0, f"trigger {config.addr}", gate.handler(self.fire))
        self.poster = ChangePoster(self.pv)

    def fire(self, put: Any) -> None:
        value = self.config.value if self.config.value is not None else int(put)
        if not -2**31 <= value < 2**31:
            raise PutError(f"trigger value {value} outside 32 signed bits")
        if self.device.trigger(self.config.addr, value) != ReturnCode.Success:
            raise PutError(f"the device answered Failure to trigger({self.config.addr}, {value})")
        self.poster.show(value)


class DeviceTextPVs:
    """PREFIX:status (polled) and PREFIX:info (read once), both read-only strings."""

    def __init__(self, device: pyvorn_device.Device, prefix: str, gate: PutGate) -> None:
        self.device = device
        info = device.get_info()
        self.status = scalar_pv("s", "", "device status", gate.handler(None))
        self.info = scalar_pv("s", info or "", "device info", gate.handler(None))
        self.status_poster = ChangePoster(self.status)
        if info is None:
            ChangePoster(self.info).show("", INVALID, "the device gave no info")
        self.pvs = {prefix + ":status": self.status, prefix + ":info": self.info}

    def poll(self) -> None:
        status = self.device.get_status()
        if status is None:
            self.status_poster.alarm(INVALID, "the device gave no status", "")
        else:
            self.status_poster.show(status)
