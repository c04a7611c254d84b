"""Device: calls from Python into a device (the simulated plug-in's, or a Python-implemented
one), and the trampoline that lets a Python subclass of Device act as a device.

Calling `obj.method(...)` on a subclass that defines `method` runs the Python method directly;
`Device.method(obj, ...)` goes through the binding and the device's virtual table, which is the
path native callers take, so the trampoline tests call through `Device`."""

import re

import pytest

import pyvorn_device
from pyvorn_device import Device, ReturnCode

from conftest import run_python

PURE_ERROR = 'Tried to call pure virtual function "Device::{}"'
CAST_ERROR_PREFIX = "Unable to cast Python instance of type "
REPR_PATTERN = re.compile(r"<pyvorn_device\.Device at 0x[1-9a-f][0-9a-f]*>")


class Recorder(Device):
    """A device whose every operation is recorded and answered from `answers`."""

    def __init__(self, **answers):
        Device.__init__(self)
        self.calls = []
        self.answers = {
            "set_register": ReturnCode.Success,
            "send_registers": ReturnCode.Success,
            "read_registers": ReturnCode.Success,
            "trigger": ReturnCode.Success,
            "get_register": 0,
            **answers,
        }

    def _answer(self, name, *args):
        self.calls.append((name, *args))
        answer = self.answers[name]
        if isinstance(answer, BaseException):
            raise answer
        return answer

    def set_register(self, addr, value, mask):
        return self._answer("set_register", addr, value, mask)

    def send_registers(self):
        return self._answer("send_registers")

    def get_register(self, addr):
        return self._answer("get_register", addr)

    def read_registers(self):
        return self._answer("read_registers")

    def trigger(self, addr, value):
        return self._answer("trigger", addr, value)


# --- Device() made directly: the pure operations have nothing behind them ---------------------


class TestPlainDevice:
    def test_queries_are_empty(self):
        dev = Device()
        assert dev.get_status() is None
        assert dev.get_info() is None

    @pytest.mark.parametrize(
        "name, args",
        [
            ("set_register", (1, 2, 3)),
            ("send_registers", ()),
            ("get_register", (1,)),
            ("read_registers", ()),
            ("trigger", (0, 0)),
            ("write", (0, bytearray(4))),
            ("read", (0, bytearray(4))),
        ],
    )
    def test_pure_operation_raises(self, name, args):
        with pytest.raises(RuntimeError) as error:
            getattr(Device(), name)(*args)
        assert str(error.value) == PURE_ERROR.format(name)

    def test_sync_operations_fail_inside_base_behaviour(self):
        dev = Device()
        with pytest.raises(RuntimeError) as error:
            dev.set_register_sync(1, 2, 3)
        assert str(error.value) == PURE_ERROR.format("set_register")
        with pytest.raises(RuntimeError) as error:
            dev.get_register_sync(1)
        assert str(error.value) == PURE_ERROR.format("read_registers")

    def test_read_leaves_buffer_untouched(self):
        buffer = bytearray(b"\x01\x02\x03\x04")
        with pytest.raises(RuntimeError):
            Device().read(0, buffer)
        assert buffer == b"\x01\x02\x03\x04"

    def test_opens_no_stream_and_releases_what_it_was_given(self):
        # A stream start builds a delivery thread and a callback chain; a Python device takes
        # neither, so both must be gone when the call returns. The running sim stream at the end
        # shows that the thread count and the reference count do see a live chain.
        result = run_python(
            """
            import os, sys, weakref
            import pyvorn_device

            def threads():
                return len(os.listdir("/proc/self/task"))

            def callback(payload, text):
                pass

            alive = weakref.ref(callback)
            baseline_refs = sys.getrefcount(callback)
            baseline_threads = threads()
            dev = pyvorn_device.Device()
            assert dev.start_read_stream(0, callback) is None
            assert dev.start_read_stream(addr=0, callback=callback, chunk_size=1024,
                                         max_queue_elements=64) is None
            assert dev.start_aligned_read_stream(0, 4, callback) is None
            assert dev.start_aligned_read_stream(addr=0, alignment=8, callback=callback,
                                                 chunk_size=64) is None
            assert sys.getrefcount(callback) == baseline_refs, sys.getrefcount(callback)
            assert threads() == baseline_threads, threads()

            manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
            stream = manager.create_device("stream_rate=100").start_read_stream(0, callback)
            assert stream is not None
            assert sys.getrefcount(callback) > baseline_refs
            assert threads() > baseline_threads
            stream.stop()
            del stream

            del callback
            assert alive() is None
            print("ok")
            """,
            timeout=60,
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout == "ok\n"


# --- Python subclasses: the trampoline ---------------------------------------------------------


class TestBaseBehaviour:
    @pytest.mark.parametrize("set_result", [ReturnCode.Success, ReturnCode.Failure])
    @pytest.mark.parametrize("send_result", [ReturnCode.Success, ReturnCode.Failure])
    def test_set_register_sync_stages_then_sends(self, set_result, send_result):
        dev = Recorder(set_register=set_result, send_registers=send_result)
        assert dev.set_register_sync(1, 2, 3) == send_result
        assert dev.calls == [("set_register", 1, 2, 3), ("send_registers",)]

    @pytest.mark.parametrize("failure", [ReturnCode.Failure, ReturnCode(2)])
    def test_get_register_sync_after_failed_fetch(self, failure):
        dev = Recorder(read_registers=failure, get_register=77)
        assert dev.get_register_sync(5) is None
        assert dev.calls == [("read_registers",)]

    def test_get_register_sync_after_fetch(self):
        dev = Recorder(get_register=0xDEADBEEF)
        assert dev.get_register_sync(5) == 0xDEADBEEF
        assert dev.calls == [("read_registers",), ("get_register", 5)]

    def test_subclass_calling_base_method_reaches_base_behaviour_once(self):
        class Wrapping(Recorder):
            def set_register_sync(self, addr, value, mask):
                self.calls.append(("set_register_sync", addr, value, mask))
                return Device.set_register_sync(self, addr, value, mask)

            def get_register_sync(self, addr):
                self.calls.append(("get_register_sync", addr))
                return Device.get_register_sync(self, addr)

        dev = Wrapping(send_registers=ReturnCode.Failure, get_register=9)
        # Through the binding, as a native caller would: the override runs, and its call of the
        # base method runs the base behaviour instead of the override again.
        assert Device.set_register_sync(dev, 1, 2, 3) == ReturnCode.Failure
        assert Device.get_register_sync(dev, 4) == 9
        assert dev.calls == [
            ("set_register_sync", 1, 2, 3),
            ("set_register", 1, 2, 3),
            ("send_registers",),
            ("get_register_sync", 4),
            ("read_registers",),
            ("get_register", 4),
        ]

    def test_overridden_sync_operations_replace_base_behaviour(self):
        class Direct(Recorder):
            def set_register_sync(self, addr, value, mask):
                self.calls.append(("set_register_sync", addr, value, mask))
                return ReturnCode.Failure

            def get_register_sync(self, addr):
                self.calls.append(("get_register_sync", addr))
                return None

        dev = Direct()
        assert Device.set_register_sync(dev, 1, 2, 3) == ReturnCode.Failure
        assert Device.get_register_sync(dev, 4) is None
        assert dev.calls == [("set_register_sync", 1, 2, 3), ("get_register_sync", 4)]


class TestOverrideResults:
    @pytest.mark.parametrize("bad", [0, 1, "Success", 1.0])
    def test_return_code_override_returning_other_type(self, bad):
        dev = Recorder(set_register=bad, send_registers=bad)
        with pytest.raises(RuntimeError) as error:
            dev.set_register_sync(1, 2, 3)
        assert str(error.value).startswith(CAST_ERROR_PREFIX)
        with pytest.raises(RuntimeError) as error:
            Device.send_registers(dev)
        assert str(error.value).startswith(CAST_ERROR_PREFIX)

    @pytest.mark.parametrize(
        "call",
        [
            lambda dev: dev.set_register_sync(1, 2, 3),  # native caller: the base behaviour
            lambda dev: dev.get_register_sync(1),
            lambda dev: Device.set_register(dev, 1, 2, 3),
            lambda dev: Device.trigger(dev, 1, 2),
        ],
        ids=["set_register_sync", "get_register_sync", "set_register", "trigger"],
    )
    def test_return_code_override_returning_none(self, call):
        # A bad result from the override is a conversion failure, not a wrong call by the
        # caller: it must not surface as "incompatible function arguments".
        dev = Recorder(set_register=None, read_registers=None, trigger=None)
        with pytest.raises(RuntimeError):
            call(dev)
        assert len(dev.calls) == 1

    @pytest.mark.parametrize("bad", [-1, 2**32, None, "7", 7.0])
    def test_register_value_out_of_range(self, bad):
        dev = Recorder(get_register=bad)
        with pytest.raises(RuntimeError) as error:
            Device.get_register(dev, 1)
        assert str(error.value).startswith(CAST_ERROR_PREFIX)
        with pytest.raises(RuntimeError):
            dev.get_register_sync(1)

    def test_register_value_limits(self):
        assert Device.get_register(Recorder(get_register=2**32 - 1), 1) == 2**32 - 1
        assert Device.get_register(Recorder(get_register=0), 1) == 0

    @pytest.mark.parametrize(
        "text, expected",
        [("plain", "plain"), ("ünï ✓", "ünï ✓"), (b"by\xc3\xbc", "byü"),
         (bytearray(b"arr"), "arr"), (None, None), ("", "")],
    )
    def test_status_and_info_texts(self, text, expected):
        class Texts(Device):
            def get_status(self):
                return text

            def get_info(self):
                return text

        dev = Texts()
        assert Device.get_status(dev) == expected
        assert Device.get_info(dev) == expected

    def test_status_not_utf8(self):
        class Garbled(Device):
            def get_status(self):
                return b"ok \xff\xfe"

            def get_info(self):
                return bytearray(b"\xc3")

        with pytest.raises(UnicodeDecodeError):
            Device.get_status(Garbled())
        with pytest.raises(UnicodeDecodeError):
            Device.get_info(Garbled())

    def test_status_of_wrong_type(self):
        class Numeric(Device):
            def get_status(self):
                return 5

        with pytest.raises(RuntimeError) as error:
            Device.get_status(Numeric())
        assert str(error.value).startswith(CAST_ERROR_PREFIX)


class TestOverrideExceptions:
    def test_same_exception_object_comes_back(self):
        class Failing(Exception):
            pass

        raised = Failing("from the device")
        dev = Recorder(set_register=raised, get_register=raised, trigger=raised)
        for call in (
            lambda: dev.set_register_sync(1, 2, 3),  # through the base behaviour
            lambda: Device.set_register(dev, 1, 2, 3),
            lambda: dev.get_register_sync(1),
            lambda: Device.trigger(dev, 1, 2),
        ):
            with pytest.raises(Failing) as error:
                call()
            assert error.value is raised

    def test_builtin_exception_types_pass_unchanged(self):
        for raised in (KeyError("k"), ValueError("v"), OSError(5, "io"), KeyboardInterrupt()):
            dev = Recorder(send_registers=raised)
            with pytest.raises(type(raised)) as error:
                dev.set_register_sync(1, 2, 3)
            assert error.value is raised

    def test_exception_from_query(self):
        raised = LookupError("no status")

        class Failing(Device):
            def get_status(self):
                raise raised

        with pytest.raises(LookupError) as error:
            Device.get_status(Failing())
        assert error.value is raised


class TestArgumentConversion:
    @pytest.mark.parametrize("bad", [-1, 2**32, 1.0, "1", None])
    def test_register_arguments_out_of_range(self, bad):
        dev = Recorder()
        for call in (
            lambda: Device.set_register(dev, bad, 0, 0),
            lambda: Device.set_register(dev, 0, bad, 0),
            lambda: Device.set_register(dev, 0, 0, bad),
            lambda: Device.set_register_sync(dev, bad, 0, 0),
            lambda: Device.get_register(dev, bad),
            lambda: Device.get_register_sync(dev, bad),
            lambda: Device.trigger(dev, bad, 0),
        ):
            with pytest.raises(TypeError, match="incompatible function arguments"):
                call()
        assert dev.calls == []

    @pytest.mark.parametrize("bad", [2**31, -(2**31) - 1, 1.0, "1"])
    def test_trigger_value_out_of_range(self, bad):
        dev = Recorder()
        with pytest.raises(TypeError, match="incompatible function arguments"):
            Device.trigger(dev, 0, bad)
        assert dev.calls == []

    def test_limits_accepted(self):
        class Index:
            def __index__(self):
                return 7

        dev = Recorder()
        Device.set_register(dev, 2**32 - 1, 2**32 - 1, 0)
        Device.trigger(dev, 0, -1)
        Device.trigger(dev, 2**32 - 1, -(2**31))
        Device.trigger(dev, 1, 2**31 - 1)
        Device.get_register(dev, Index())
        assert dev.calls == [
            ("set_register", 2**32 - 1, 2**32 - 1, 0),
            ("trigger", 0, -1),
            ("trigger", 2**32 - 1, -(2**31)),
            ("trigger", 1, 2**31 - 1),
            ("get_register", 7),
        ]

    def test_wrong_argument_count(self):
        dev = Recorder()
        with pytest.raises(TypeError):
            Device.set_register(dev, 1, 2)
        with pytest.raises(TypeError):
            Device.send_registers(dev, 1)
        assert dev.calls == []


class TestConstructionAndRepr:
    def test_subclass_must_call_base_init(self):
        class Forgetful(Device):
            def __init__(self):
                self.ready = True

        with pytest.raises(TypeError) as error:
            Forgetful()
        assert (
            str(error.value)
            == "pyvorn_device.Device.__init__() must be called when overriding __init__"
        )

    def test_init_takes_no_arguments(self):
        with pytest.raises(TypeError):
            Device(1)

    def test_repr_format(self, device):
        first, second, sub = Device(), Device(), Recorder()
        texts = [repr(first), repr(second), repr(sub), repr(device)]
        for text in texts:
            assert REPR_PATTERN.fullmatch(text), text
        assert len(set(texts)) == 4
        assert repr(first) == repr(first)
        # The address is the native device's, not the Python object's.
        assert repr(first) != f"<pyvorn_device.Device at {hex(id(first))}>"

    @pytest.mark.parametrize("call", ["repr(raw)", "raw.get_status()", "raw.send_registers()"])
    def test_uninitialised_object_is_refused(self, call):
        # An object made by __new__ alone owns no device: using it must raise, not run a
        # device made of uninitialised memory.
        result = run_python(
            f"""
            from pyvorn_device import Device
            raw = Device.__new__(Device)
            try:
                outcome = {call}
            except (RuntimeError, TypeError):
                print("refused")
            else:
                print("returned", outcome)
            """
        )
        assert (result.returncode, result.stdout) == (0, "refused\n"), result.stderr


class TestBlockTransferOverrides:
    class Blocks(Device):
        DEFAULT = object()  # answer with the byte count

        def __init__(self, result=DEFAULT, fill=None, error=None):
            Device.__init__(self)
            self.seen = []
            self.views = []
            self.result, self.fill, self.error = result, fill, error

        def _record(self, kind, addr, length, view):
            self.views.append(view)
            self.seen.append((kind, addr, length, view.readonly, view.format, bytes(view)))
            if self.error is not None:
                raise self.error

        def write(self, addr, length, view):
            self._record("write", addr, length, view)
            return length if self.result is self.DEFAULT else self.result

        def read(self, addr, length, view):
            self._record("read", addr, length, view)
            if self.fill is not None:
                view[: len(self.fill)] = self.fill
            return len(self.fill or b"") if self.result is self.DEFAULT else self.result

    def test_write_receives_read_only_view_of_caller_bytes(self):
        dev = self.Blocks(result=3)
        assert Device.write(dev, 0x40, b"hello") == 3
        assert Device.write(dev, 2**32 - 1, bytearray(b"xy")) == 3
        assert dev.seen == [
            ("write", 0x40, 5, True, "B", b"hello"),
            ("write", 2**32 - 1, 2, True, "B", b"xy"),
        ]

    def test_read_fills_caller_buffer(self):
        dev = self.Blocks(fill=b"abc")
        buffer = bytearray(b"......")
        assert Device.read(dev, 7, buffer) == 3
        assert buffer == b"abc..."
        assert dev.seen == [("read", 7, 6, False, "B", b"......")]

    def test_result_passes_through(self):
        assert Device.write(self.Blocks(result=2**64 - 1), 0, b"x") == 2**64 - 1
        assert Device.read(self.Blocks(result=0, fill=b"z"), 0, bytearray(1)) == 0

    def test_empty_buffer(self):
        dev = self.Blocks()
        assert Device.write(dev, 1, b"") == 0
        assert Device.read(dev, 1, bytearray()) == 0
        assert dev.seen == [("write", 1, 0, True, "B", b""), ("read", 1, 0, False, "B", b"")]

    def test_view_released_after_call(self):
        dev = self.Blocks(fill=b"q")
        Device.write(dev, 0, b"abc")
        Device.read(dev, 0, bytearray(2))
        for view in dev.views:
            with pytest.raises(ValueError):
                view[0]
            with pytest.raises(ValueError):
                bytes(view)

    def test_view_released_when_override_raises(self):
        raised = OSError("bus error")
        dev = self.Blocks(error=raised)
        buffer = bytearray(4)
        with pytest.raises(OSError) as error:
            Device.read(dev, 0, buffer)
        assert error.value is raised
        with pytest.raises(OSError):
            Device.write(dev, 0, b"ab")
        assert len(dev.views) == 2
        for view in dev.views:
            with pytest.raises(ValueError):
                view[0]

    def test_views_derived_inside_the_override_never_reach_the_caller_memory(self):
        # Kept slices, casts and arrays of the view outlive the caller's buffer; touching them
        # afterwards must read memory of their own (the sanitizer run shows any stray access).
        result = run_python(
            r"""
            import gc
            import numpy
            from pyvorn_device import Device

            class Keeper(Device):
                def __init__(self, derive):
                    Device.__init__(self)
                    self.derive, self.kept = derive, []

                def read(self, addr, length, view):
                    view[:4] = b"abcd"
                    self.kept.append(self.derive(view))
                    return length

                def write(self, addr, length, view):
                    self.kept.append(self.derive(view))
                    return length

            derivations = [lambda v: v[:], lambda v: v.cast("B"), lambda v: v[1:][:8],
                           lambda v: numpy.frombuffer(v, numpy.uint8)]
            for derive in derivations:
                dev = Keeper(derive)
                buffer = bytearray(1 << 22)
                try:
                    Device.read(dev, 0, buffer)
                except BufferError as error:
                    assert "read" in str(error), error
                else:
                    raise AssertionError("a kept view was not refused")
                assert buffer[:5] == b"abcd\0"  # what the override wrote still arrived
                try:
                    Device.write(dev, 0, bytes(1 << 20))
                except BufferError as error:
                    assert "write" in str(error), error
                else:
                    raise AssertionError("a kept view was not refused")
                del buffer
                gc.collect()
                for kept in dev.kept:
                    assert bytes(kept[:1]) in (b"a", b"b", b"\0")

            class Tidy(Device):
                def read(self, addr, length, view):
                    part = view[2:4]
                    part[:] = b"xy"
                    part.release()
                    numpy.frombuffer(view, numpy.uint8)[0] = 1  # dropped before returning
                    return length

            buffer = bytearray(5)
            assert Device.read(Tidy(), 0, buffer) == 5
            assert buffer == b"\x01\0xy\0"
            print("ok")
            """
        )
        assert result.returncode == 0, result.stdout + result.stderr
        assert result.stdout == "ok\n"

    @pytest.mark.parametrize("bad", [-1, 2**64, None, "3", 3.0])
    def test_bad_result(self, bad):
        with pytest.raises(RuntimeError) as error:
            Device.write(self.Blocks(result=bad), 0, b"ab")
        assert str(error.value).startswith(CAST_ERROR_PREFIX)
        with pytest.raises(RuntimeError) as error:
            Device.read(self.Blocks(result=bad), 0, bytearray(2))
        assert str(error.value).startswith(CAST_ERROR_PREFIX)


# --- the simulated plug-in's device, as a user drives it --------------------------------------

TRIGGER_COUNT = 0xFFFF0000
LAST_TRIGGER_ADDRESS = 0xFFFF0004
LAST_TRIGGER_VALUE = 0xFFFF0008


class TestSimDevice:
    def test_results_are_return_codes(self, device):
        for result in (device.set_register(1, 1, 1), device.send_registers(),
                       device.read_registers(), device.trigger(0, 0),
                       device.set_register_sync(1, 1, 1)):
            assert type(result) is ReturnCode
            assert result == ReturnCode.Success

    def test_registers_are_staged_then_sent_then_fetched(self, device):
        assert device.get_register(0x10) == 0  # never written
        device.set_register(0x10, 0xFFFF, 0x00FF)
        device.read_registers()
        assert device.get_register(0x10) == 0  # staged only
        device.send_registers()
        assert device.get_register(0x10) == 0  # sent, not fetched yet
        device.read_registers()
        assert device.get_register(0x10) == 0x00FF

    def test_masks_merge_with_current_value(self, device):
        assert device.set_register_sync(0x20, 0x12345678, 0xFFFFFFFF) == ReturnCode.Success
        assert device.set_register_sync(0x20, 0xABCD0000, 0xFF000000) == ReturnCode.Success
        assert device.get_register_sync(0x20) == 0xAB345678
        # Two staged changes before one send combine too.
        device.set_register(0x20, 0x000000FF, 0x000000F0)
        device.set_register(0x20, 0x00000000, 0x0000000F)
        assert device.get_register_sync(0x20) == 0xAB345678  # not sent yet
        device.send_registers()
        assert device.get_register_sync(0x20) == 0xAB3456F0
        assert device.set_register_sync(0x20, 0xFFFFFFFF, 0) == ReturnCode.Success
        assert device.get_register_sync(0x20) == 0xAB3456F0

    def test_full_range_addresses_and_values(self, device):
        device.set_register_sync(2**32 - 1, 2**32 - 1, 2**32 - 1)
        assert device.get_register_sync(2**32 - 1) == 2**32 - 1

    def test_devices_have_separate_registers(self, manager):
        first, second = manager.create_device(""), manager.create_device("")
        first.set_register_sync(3, 33, 0xFF)
        assert second.get_register_sync(3) == 0
        assert first.get_register_sync(3) == 33

    def test_failing_send_is_a_result(self, manager):
        dev = manager.create_device("fail_send=1")
        assert dev.set_register(4, 44, 0xFF) == ReturnCode.Success
        assert dev.send_registers() == ReturnCode.Failure
        assert dev.set_register_sync(4, 44, 0xFF) == ReturnCode.Failure
        assert dev.get_register_sync(4) == 0  # nothing reached the device side

    def test_failing_fetch_is_a_result(self, manager):
        dev = manager.create_device("fail_read=yes")
        assert dev.set_register_sync(4, 44, 0xFF) == ReturnCode.Success
        assert dev.read_registers() == ReturnCode.Failure
        assert dev.get_register_sync(4) is None
        assert dev.get_register(4) == 0  # no snapshot was ever taken

    def test_trigger_counter_registers(self, device):
        assert device.get_register_sync(TRIGGER_COUNT) == 0
        assert device.trigger(0x30, 5) == ReturnCode.Success
        assert device.trigger(0x31, -1) == ReturnCode.Success
        # Visible only after a fetch.
        assert device.get_register(TRIGGER_COUNT) == 0
        assert device.read_registers() == ReturnCode.Success
        assert device.get_register(TRIGGER_COUNT) == 2
        assert device.get_register(LAST_TRIGGER_ADDRESS) == 0x31
        assert device.get_register(LAST_TRIGGER_VALUE) == 0xFFFFFFFF
        device.trigger(2**32 - 1, -(2**31))
        assert device.get_register_sync(TRIGGER_COUNT) == 3
        assert device.get_register_sync(LAST_TRIGGER_ADDRESS) == 2**32 - 1
        assert device.get_register_sync(LAST_TRIGGER_VALUE) == 2**31

    def test_refused_arguments_do_not_reach_device(self, device):
        with pytest.raises(TypeError):
            device.trigger(0, 2**31)
        with pytest.raises(TypeError):
            device.trigger(-1, 0)
        with pytest.raises(TypeError):
            device.set_register_sync(2**32, 1, 1)
        assert device.get_register_sync(TRIGGER_COUNT) == 0
        assert device.get_register_sync(0) == 0

    def test_texts(self, manager):
        dev = manager.create_device("name=bench_7")
        info, status = dev.get_info(), dev.get_status()
        assert isinstance(info, str) and "bench_7" in info
        assert isinstance(status, str) and status
        assert "bench_7" not in manager.create_device("").get_info()

    @pytest.mark.parametrize(
        "options, named",
        [
            ("no_such_option=1", "no_such_option"),
            ("name=ok, colour=blue", "colour"),
            ("fail_send=maybe", "fail_send"),
            ("stream_bytes=-5", "stream_bytes"),
            ("default_chunk_size=0", "default_chunk_size"),
            ("justaword", "justaword"),
        ],
    )
    def test_bad_options_are_refused(self, manager, options, named):
        with pytest.raises(ValueError) as error:
            manager.create_device(options)
        assert named in str(error.value)
