"""Device.write and Device.read: which Python buffers they accept, in which order they refuse the
others, and that accepted buffers reach the device's memory operations without a copy."""

import array
import ctypes

import numpy
import pytest

import pyvorn_device


@pytest.fixture
def stored(device):
    """A device that already holds b"kept" at address 7, to show that refused calls never reach
    it."""
    assert device.write(7, b"kept") == 4
    return device


def two_dimensional_readonly():
    return memoryview(bytes(8)).cast("B", (2, 4))


def two_dimensional_writable():
    return memoryview(bytearray(8)).cast("B", (2, 4))


REFUSED_BY_READ = [
    pytest.param(bytes(8), "buffer is readonly", id="bytes"),
    # Read-only and two-dimensional: the read-only test comes first.
    pytest.param(two_dimensional_readonly(), "buffer is readonly", id="readonly-2d"),
    pytest.param(two_dimensional_writable(), "ndim != 1", id="2d"),
    pytest.param(array.array("b", bytes(8)), "Unsupported buffer format!", id="array-b"),
    pytest.param(memoryview(bytearray(8)).cast("H"), "Unsupported buffer format!", id="cast-H"),
    pytest.param(memoryview(bytearray(8)).cast("c"), "Unsupported buffer format!", id="cast-c"),
    # ctypes exports "<B": a prefixed "B" is not "B".
    pytest.param((ctypes.c_ubyte * 8)(), "Unsupported buffer format!", id="ctypes-<B"),
    pytest.param(numpy.zeros(4, numpy.uint16), "Unsupported buffer format!", id="numpy-u16"),
    pytest.param(numpy.zeros((2, 4), numpy.uint8), "ndim != 1", id="numpy-2d"),
    pytest.param(memoryview(bytearray(8))[::2], "strides[0] != 1", id="step-2"),
    pytest.param(memoryview(bytearray(8))[::-1], "strides[0] != 1", id="reversed"),
    pytest.param(numpy.zeros(8, numpy.uint8)[::2], "strides[0] != 1", id="numpy-step-2"),
]

REFUSED_BY_WRITE = [
    # write accepts read-only buffers, so the next check speaks.
    pytest.param(two_dimensional_readonly(), "ndim != 1", id="readonly-2d"),
    pytest.param(two_dimensional_writable(), "ndim != 1", id="2d"),
    pytest.param(array.array("b", bytes(8)), "Unsupported buffer format!", id="array-b"),
    pytest.param(memoryview(bytes(8)).cast("H"), "Unsupported buffer format!", id="cast-H"),
    pytest.param((ctypes.c_ubyte * 8)(), "Unsupported buffer format!", id="ctypes-<B"),
    pytest.param(memoryview(bytes(8))[::2], "strides[0] != 1", id="step-2"),
    pytest.param(memoryview(bytes(8))[::-1], "strides[0] != 1", id="reversed"),
]


@pytest.mark.parametrize("destination,message", REFUSED_BY_READ)
def test_read_refuses_with_the_first_failing_check(stored, destination, message):
    before = memoryview(destination).tobytes()
    with pytest.raises(RuntimeError) as raised:
        stored.read(7, destination)
    assert str(raised.value) == message
    # Nothing reached the destination.
    assert memoryview(destination).tobytes() == before


@pytest.mark.parametrize("source,message", REFUSED_BY_WRITE)
def test_write_refuses_with_the_first_failing_check(stored, source, message):
    with pytest.raises(RuntimeError) as raised:
        stored.write(7, source)
    assert str(raised.value) == message
    # The device was not called: its memory at that address is unchanged.
    back = bytearray(8)
    assert stored.read(7, back) == 8
    assert bytes(back) == b"kept\0\0\0\0"


def test_refused_stepped_view_leaves_the_underlying_bytes_untouched(stored):
    backing = bytearray(b"ABCDEFGH")
    with pytest.raises(RuntimeError, match=r"^strides\[0\] != 1$"):
        stored.read(7, memoryview(backing)[::2])
    assert backing == b"ABCDEFGH"


def test_write_accepts_readonly_sources_that_read_refuses(device):
    source = b"\x00\x01\xfe\xff readonly"
    assert device.write(100, source) == len(source)
    assert device.write(200, memoryview(source)) == len(source)
    frozen = numpy.frombuffer(source, numpy.uint8)
    assert not frozen.flags.writeable
    assert device.write(300, frozen) == len(source)
    with pytest.raises(RuntimeError, match="^buffer is readonly$"):
        device.read(100, frozen)
    back = bytearray(len(source))
    for addr in (100, 200, 300):
        assert device.read(addr, back) == len(source)
        assert back == source


def test_round_trip_through_the_device_with_every_accepted_buffer_kind(device):
    payload = bytes(range(256)) * 3
    sources = [
        payload,
        bytearray(payload),
        memoryview(payload),
        array.array("B", payload),
        numpy.frombuffer(payload, numpy.uint8).copy(),
        memoryview(bytearray(b"xx" + payload + b"yy"))[2:-2],  # offset start, stride 1
    ]
    destinations = [
        bytearray(len(payload)),
        array.array("B", bytes(len(payload))),
        numpy.zeros(len(payload), numpy.uint8),
        memoryview(bytearray(len(payload))),
    ]
    for addr, source in enumerate(sources, start=100):
        assert device.write(addr, source) == len(payload)
        for destination in destinations:
            memoryview(destination)[:] = bytes(len(payload))
            assert device.read(addr, destination) == len(payload)
            assert bytes(destination) == payload


def test_read_fills_the_exporters_memory_in_place(device):
    device.write(5, b"0123456789")
    backing = bytearray(b"." * 16)
    # A slice of a larger buffer: the device writes through to `backing` itself.
    assert device.read(5, memoryview(backing)[3:13]) == 10
    assert backing == b"...0123456789..."
    # numpy: a contiguous row of a 2-D array is 1-D with stride 1.
    grid = numpy.zeros((3, 10), numpy.uint8)
    assert device.read(5, grid[1]) == 10
    assert grid[1].tobytes() == b"0123456789"
    assert not grid[0].any() and not grid[2].any()


def test_lengths_follow_the_buffers_on_both_sides(device):
    device.write(9, b"abcdef")
    larger = bytearray(b"z" * 10)
    assert device.read(9, larger) == 10
    assert larger == b"abcdef\0\0\0\0"  # the block space is memory: zeros where nothing was
    smaller = bytearray(3)
    assert device.read(10, smaller) == 3
    assert smaller == b"bcd"
    # Past the end of the simulated device's 1 MiB block space nothing is transferred.
    untouched = bytearray(b"q" * 4)
    assert device.read(2**20 - 2, untouched) == 0
    assert untouched == b"qqqq"
    assert device.write(2**20 - 2, b"abcd") == 0


def test_zero_length_buffers_reach_the_device_with_count_zero(device):
    device.write(11, b"before")
    assert device.write(11, bytearray()) == 0
    assert device.read(11, bytearray()) == 0
    assert device.read(11, numpy.zeros(0, numpy.uint8)) == 0
    kept = bytearray(6)
    assert device.read(11, kept) == 6 and kept == b"before"


def test_addresses_are_passed_unchanged_over_the_full_unsigned_range(manager):
    device = manager.create_device("block_size=4294967296")
    device.write(0, b"low")
    assert device.write(0xFFFFFFFC, b"high") == 4
    assert device.write(0xFFFFFFFF, b"high") == 0  # would end past the 32-bit space
    out = bytearray(4)
    assert device.read(0xFFFFFFFC, out) == 4 and out == b"high"
    assert device.read(0, out) == 4 and out == b"low\0"


@pytest.mark.parametrize("method", ["write", "read"])
@pytest.mark.parametrize("bad", [[1, 2, 3], "text", None, 42, 1.5])
def test_non_buffer_argument_is_a_type_error(device, method, bad):
    with pytest.raises(TypeError):
        getattr(device, method)(0, bad)


@pytest.mark.parametrize("method", ["write", "read"])
@pytest.mark.parametrize("addr", [-1, 2**32, "0", 1.0])
def test_address_outside_unsigned_32_bits_is_a_type_error(device, method, addr):
    with pytest.raises(TypeError):
        getattr(device, method)(addr, bytearray(4))


@pytest.mark.parametrize("method", ["write", "read"])
def test_exporter_refusal_propagates_unchanged(device, method):
    class Refusing:
        def __buffer__(self, flags):
            raise ValueError("no buffer today")

    with pytest.raises(ValueError, match="^no buffer today$"):
        getattr(device, method)(0, Refusing())


def test_buffers_are_released_after_each_call(device):
    # A bytearray with an exported buffer cannot be resized; a leaked export would show here.
    target = bytearray(b"abcd")
    device.write(3, target)
    device.read(3, target)
    with pytest.raises(RuntimeError):
        device.read(3, memoryview(target)[::2])
    with pytest.raises(RuntimeError):
        device.write(3, memoryview(target).cast("B", (2, 2)))
    target.extend(b"more")
    assert target == b"abcdmore"


def test_python_device_works_directly_on_the_callers_memory():
    seen = {}

    class Mirror(pyvorn_device.Device):
        def write(self, addr, length, data):
            seen["write"] = (addr, length, bytes(data), data.readonly)
            return length

        def read(self, addr, length, data):
            seen["read"] = (addr, length, data.readonly)
            seen["view"] = data
            data[:] = bytes(range(length))
            return length - 1

    # Called through the bound methods, as any native caller would reach the device.
    write, read = pyvorn_device.Device.write, pyvorn_device.Device.read
    mirror = Mirror()
    assert write(mirror, 4, b"hello") == 5
    assert seen["write"] == (4, 5, b"hello", True)
    destination = bytearray(6)
    assert read(mirror, 8, destination) == 5
    assert seen["read"] == (8, 6, False)
    assert destination == bytes(range(6))
    # The view handed to the override does not outlive the call, so the caller's buffer is free.
    with pytest.raises(ValueError):
        seen["view"].tobytes()
    destination.extend(b"!")
    seen.clear()
    with pytest.raises(RuntimeError, match="^buffer is readonly$"):
        read(mirror, 8, b"constant")
    with pytest.raises(RuntimeError, match="^Unsupported buffer format!$"):
        write(mirror, 8, array.array("b", b"xy"))
    assert seen == {}  # refused calls never reach the override
