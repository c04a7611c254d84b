"""The PVs of one device, the PVAccess server that publishes them, and their orderly end."""

import os
from typing import Any

import pyvorn_device
from p4p.server import Server, StaticProvider

from pyvorn_device_tools.pva.pvs import PutGate
from pyvorn_device_tools.pva.registers import DeviceTextPVs, RegisterBank, TriggerPV
from pyvorn_device_tools.pva.config import BitsConfig, StreamConfig, TriggerConfig
from pyvorn_device_tools.pva.streams import StreamPVs
from pyvorn_device_tools.pva.worker import DeviceWorker

# Without --interface the server answers on loopback only and sends its beacons nowhere else.
LOOPBACK = {
    "EPICS_PVAS_INTF_ADDR_LIST": "127.0.0.1",
    "EPICS_PVAS_AUTO_BEACON_ADDR_LIST": "NO",
    "EPICS_PVAS_BEACON_ADDR_LIST": "127.0.0.1",
}


def server_conf(interfaces: list[str]) -> dict[str, str]:
    """The environment's EPICS_PVA* settings (ports, name servers), with the interface list
    decided here: the command line's, or loopback."""
    conf = {key: value for key, value in os.environ.items() if key.startswith("EPICS_PVA")}
    if interfaces:
        conf["EPICS_PVAS_INTF_ADDR_LIST"] = " ".join(interfaces)
    else:
        conf.update(LOOPBACK)
    return conf


class Bridge:
    """Build it, start() it, close() it once; close() may follow a failed start()."""

    def __init__(self, device: pyvorn_device.Device, prefix: str, registers: list[BitsConfig],
                 triggers: list[TriggerConfig], streams: list[StreamConfig], poll_seconds: float,
                 read_only: bool) -> None:
        self.worker = DeviceWorker(self.poll, poll_seconds)
        gate = PutGate(self.worker, read_only)
        self.registers = RegisterBank(device, registers, prefix, gate)
        self.triggers = [TriggerPV(device, config, gate) for config in triggers]
        self.streams = [StreamPVs(device, config, prefix, gate) for config in streams]
        self.texts = DeviceTextPVs(device, prefix, gate)
        self.pvs: dict[str, Any] = {}
        groups: list[dict[str, Any]] = [self.registers.pvs, self.texts.pvs]
        groups += [{prefix + t.config.name: t.pv} for t in self.triggers]
        groups += [s.pvs for s in self.streams]
        for group in groups:
            for name, pv in group.items():
                if name in self.pvs:
                    raise ValueError(f"two PVs would be named {name}: rename one")
                self.pvs[name] = pv
        self.server: Any = None

    def poll(self) -> None:
        self.registers.poll()
        self.texts.poll()
        for stream in self.streams:
            stream.poll()

    def start(self, conf: dict[str, str]) -> dict[str, str]:
        """Starts the streams and the server; returns the server's effective configuration."""
        for stream in self.streams:
            stream.start()
        self.poll()  # every PV opens with the device's values, not placeholders
        provider = StaticProvider("vorn-pva")
        for name, pv in self.pvs.items():
            provider.add(name, pv)
        self.server = Server(providers=[provider], conf=conf, useenv=False)
        self.worker.start()
        return dict(self.server.conf())

    def close(self) -> list[str]:
        """Stops serving (no new puts), then the device thread (puts still waiting are refused),
        then the streams. Returns one summary line per stream."""
        if self.server is not None:
            self.server.stop()
        self.worker.stop()
        lines = []
        for stream in self.streams:
            stream.stop()
            events, lost, _ = stream.counts()
            lines.append(f"stream {stream.config.name}: {events} chunks, {lost} not posted")
        for pv in self.pvs.values():
            pv.close()
        self.pvs.clear()
        return lines
