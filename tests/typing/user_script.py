"""A typed user script over the whole module: `mypy --strict` must accept it as it is, and reject
it with one wrong call substituted (tests/python/test_typing.py)."""

import pathlib
import threading
from collections.abc import Buffer

import pyvorn_device
from pyvorn_device import DataView, Device, ManagedBuffer, ReturnCode


def open_device(plugin: pathlib.Path) -> Device:
    manager = pyvorn_device.get_device_manager(plugin)
    assert manager is not None
    text: str = manager.info() + manager.list_devices() + manager.get_device_options()
    where: pathlib.Path = manager.location()
    print(text, where)
    device = manager.create_device("name=typed")
    assert device is not None
    return device


def registers(device: Device) -> int:
    status: ReturnCode = device.set_register_sync(0x10, 0xCAFE, 0xFFFF)
    assert status == ReturnCode.Success and int(status) == 0
    device.set_register(0x14, 1, 0xFFFF_FFFF)
    device.send_registers()
    device.read_registers()
    staged: int = device.get_register(0x14)
    value: int | None = device.get_register_sync(0x10)
    device.trigger(3, -1)
    return staged + (value or 0)


def blocks(device: Device) -> bytes:
    out = bytearray(16)
    device.write(0x2000, b"0123456789abcdef")
    device.read(0x2000, out)
    device.read(0x2000, memoryview(out))
    return bytes(out)


def streams(device: Device) -> int:
    received: list[bytes] = []
    done = threading.Event()

    def on_chunk(buffer: ManagedBuffer | None, error: str | None) -> None:
        if buffer is not None:
            as_buffer: Buffer = buffer
            received.append(bytes(memoryview(as_buffer)))
        elif error is None:
            done.set()

    def on_view(view: DataView | None, error: str | None) -> None:
        if view is not None:
            received.append(bytes(view))

    stream = device.start_read_stream(0, on_chunk, chunk_size=4096, max_queue_elements=64)
    if stream is not None:
        with stream:
            done.wait(1.0)
    aligned = device.start_aligned_read_stream(0, 4096, on_view, chunk_size=10_000)
    if aligned is not None:
        aligned.stop()
    return len(received)


def main(plugin: pathlib.Path) -> None:
    device = open_device(plugin)
    info: str | None = device.get_info()
    status: str | None = device.get_status()
    print(info, status, registers(device), blocks(device), streams(device))
