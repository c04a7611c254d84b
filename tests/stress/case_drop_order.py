"""The manager, a device, its running stream and a payload the stream delivered (a ManagedBuffer
kept from a plain stream, or a DataView kept from an aligned one) are dropped in every order
while the stream runs, and then in random orders with two devices, two streams and both kinds of
payload. After each drop (and a gc.collect()) the plug-in's library must still be mapped while
anything of it remains, and be gone once everything is dropped. Every drop order runs again
with lent chunks. Last, the stream is the last thing left and its own callback drops it (with
or without stopping it first): the library must then go once that delivery thread has ended."""

import gc
import itertools
import random
import threading

import pyvorn_device
from pyvorn_device import DataView, ManagedBuffer

from stress_common import SIM_PLUGIN, pattern, plugin_mapped, report, wait_until

WAIT = 10  # seconds; only reached when a stream delivers nothing
RANDOM_ORDERS = 40


class Keeper:
    """A callback that keeps the first payload it receives, checked against the pattern, and
    drops every later one at once."""

    def __init__(self, payload_type):
        self.payload_type = payload_type
        self.kept = []
        self.got_one = threading.Event()
        self.errors = []

    def __call__(self, payload, text):
        if payload is None or self.got_one.is_set():
            return
        if type(payload) is not self.payload_type:
            self.errors.append(f"payload of type {type(payload).__name__}")
        self.kept.append((payload, bytes(payload)))
        self.got_one.set()


def start_stream(device, aligned: bool):
    keeper = Keeper(DataView if aligned else ManagedBuffer)
    if aligned:
        stream = device.start_aligned_read_stream(0, 16, keeper, chunk_size=1000)
    else:
        stream = device.start_read_stream(0, keeper, chunk_size=1000)
    assert stream is not None
    assert keeper.got_one.wait(WAIT), "the stream delivered nothing"
    assert not keeper.errors, keeper.errors
    payload, seen = keeper.kept.pop()
    # The first payload starts the stream: its bytes are the pattern from offset 0.
    assert seen == pattern(0, len(seen)), "first payload differs from the pattern"
    return stream, payload, seen


def check_payload(payload, seen: bytes, label: str) -> None:
    # A kept payload stays readable, with the bytes it had, whatever else has been dropped.
    assert bytes(payload) == seen, f"{label}: kept payload changed its bytes"


def drop_in_order(order, chunks: str, objects: dict, payload_bytes: dict) -> None:
    assert plugin_mapped(), "plug-in not mapped although everything is alive"
    for position, name in enumerate(order):
        del objects[name]
        gc.collect()
        remaining = order[position + 1:]
        for other, seen in payload_bytes.items():
            if other in objects:
                check_payload(objects[other], seen, f"{other} after dropping {name}")
        mapped = plugin_mapped()
        if remaining:
            assert mapped, (f"{chunks}, order {order}: plug-in unmapped after dropping {name} "
                            f"although {remaining} remain")
        else:
            assert not mapped, f"{chunks}, order {order}: plug-in still mapped after the last drop"


def four_objects(chunks: str, aligned: bool) -> tuple:
    manager = pyvorn_device.get_device_manager(SIM_PLUGIN)
    device = manager.create_device(f"stream_chunks={chunks}")
    stream, payload, seen = start_stream(device, aligned)
    payload_name = "view" if aligned else "buffer"
    objects = {"manager": manager, "device": device, "stream": stream, payload_name: payload}
    return objects, {payload_name: seen}


def seven_objects(chunks: str) -> tuple:
    manager = pyvorn_device.get_device_manager(SIM_PLUGIN)
    plain_device = manager.create_device(f"stream_chunks={chunks}")
    aligned_device = manager.create_device(f"stream_chunks={chunks},stream_error_every=2")
    plain, buffer, buffer_bytes = start_stream(plain_device, aligned=False)
    aligned, view, view_bytes = start_stream(aligned_device, aligned=True)
    objects = {"manager": manager, "plain_device": plain_device, "aligned_device": aligned_device,
               "plain_stream": plain, "aligned_stream": aligned, "buffer": buffer, "view": view}
    return objects, {"buffer": buffer_bytes, "view": view_bytes}


def stream_dropped_by_its_callback(chunks: str, aligned: bool, stop_first: bool) -> None:
    holder, drop_now, dropped = [], threading.Event(), threading.Event()

    def callback(payload, text):
        if drop_now.is_set() and holder:
            if stop_first:
                holder[0].stop()
            holder.clear()  # the last reference: torn down on this delivery thread
            dropped.set()

    manager = pyvorn_device.get_device_manager(SIM_PLUGIN)
    device = manager.create_device(f"stream_chunks={chunks}")
    if aligned:
        holder.append(device.start_aligned_read_stream(0, 3, callback, chunk_size=100))
    else:
        holder.append(device.start_read_stream(0, callback, chunk_size=100))
    del device, manager, callback
    gc.collect()
    label = f"{chunks}, aligned={aligned}, stop_first={stop_first}"
    assert plugin_mapped(), f"{label}: plug-in unmapped while its stream runs"
    drop_now.set()
    assert dropped.wait(WAIT), f"{label}: the callback was not called again"
    # The delivery thread releases the callable and the last owner of the library as it ends.
    wait_until(lambda: not plugin_mapped(), WAIT,
               f"{label}: the plug-in to be unloaded after its callback dropped the stream")


def main():
    assert not plugin_mapped(), "plug-in mapped before anything loaded it"
    orders = 0
    rng = random.Random(2024)
    for chunks in ("owned", "lent"):
        for aligned in (False, True):
            names = list(four_objects(chunks, aligned)[0])
            gc.collect()
            assert not plugin_mapped()
            for order in itertools.permutations(names):
                objects, payload_bytes = four_objects(chunks, aligned)
                drop_in_order(order, chunks, objects, payload_bytes)
                orders += 1
        for _ in range(RANDOM_ORDERS):
            objects, payload_bytes = seven_objects(chunks)
            order = list(objects)
            rng.shuffle(order)
            drop_in_order(tuple(order), chunks, objects, payload_bytes)
            orders += 1
        for aligned in (False, True):
            for stop_first in (False, True):
                stream_dropped_by_its_callback(chunks, aligned, stop_first)
                orders += 1
    report(drop_orders=orders, plugin_unloaded_each_time=True)


if __name__ == "__main__":
    main()
