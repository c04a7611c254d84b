"""The module's registration surface: names, their order, generated signatures, the ReturnCode
enum, and what Python may and may not construct or pass by keyword."""

import operator
import pickle

import pytest

import pyvorn_device
from pyvorn_device import DataStream, DataView, Device, DeviceManager, ManagedBuffer, ReturnCode

from conftest import run_python

# Attributes pybind11 adds to every class, and the pickling guard every class gets last; the
# registration order is about everything else.
_CLASS_PLUMBING = {"__doc__", "__module__", "_pybind11_conduit_v1_", "__reduce__"}


def _registered(cls):
    return [name for name in vars(cls) if name not in _CLASS_PLUMBING]


def test_import_in_fresh_interpreter():
    result = run_python(
        """
        import pyvorn_device
        print(pyvorn_device.__name__, pyvorn_device.__doc__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "pyvorn_device Python binding for VORN Device\n"


def test_module_doc():
    assert pyvorn_device.__doc__ == "Python binding for VORN Device"


def test_module_names_in_registration_order():
    public = [name for name in vars(pyvorn_device) if not name.startswith("__")]
    assert public == [
        "ReturnCode",
        "DataStream",
        "ManagedBuffer",
        "DataView",
        "Device",
        "DeviceManager",
        "get_device_manager",
    ]


def test_class_members_in_registration_order():
    assert _registered(Device) == [
        "__init__",
        "__repr__",
        "set_register_sync",
        "set_register",
        "send_registers",
        "get_register_sync",
        "get_register",
        "read_registers",
        "trigger",
        "write",
        "read",
        "start_read_stream",
        "start_aligned_read_stream",
        "get_status",
        "get_info",
    ]
    # pybind11 puts a refusing __init__ first on classes without a constructor.
    assert _registered(DataStream) == ["__init__", "stop", "__enter__", "__exit__", "statistics"]
    assert _registered(DeviceManager) == [
        "__init__",
        "info",
        "location",
        "list_devices",
        "get_device_options",
        "create_device",
    ]
    for buffer_class in (ManagedBuffer, DataView):
        assert _registered(buffer_class) == ["__init__", "__buffer__", "__release_buffer__"]


def test_classes_have_no_docstring_or_instance_dict():
    for cls in (DataStream, ManagedBuffer, DataView, Device, DeviceManager):
        assert cls.__doc__ is None, cls
        assert cls.__module__ == "pyvorn_device"
    with pytest.raises(AttributeError):
        Device().some_attribute = 1


# The generated signatures are the whole documentation: each one names the module's own types
# (a registration out of order would show C++ names instead), argument names only where the
# arguments may be passed by keyword, and the keyword-only stream options with their defaults.
EXPECTED_SIGNATURES = {
    "ReturnCode.__init__": "__init__(self: pyvorn_device.ReturnCode, value: int) -> None",
    "DataStream.stop": "stop(self: pyvorn_device.DataStream) -> None",
    "DataStream.__enter__": "__enter__(self: pyvorn_device.DataStream) -> pyvorn_device.DataStream",
    "DataStream.__exit__": "__exit__(self: pyvorn_device.DataStream, arg0: Optional[type], "
    "arg1: Optional[object], arg2: Optional[object]) -> None",
    "Device.__init__": "__init__(self: pyvorn_device.Device) -> None",
    "Device.__repr__": "__repr__(self: pyvorn_device.Device) -> str",
    "Device.set_register_sync": "set_register_sync(self: pyvorn_device.Device, arg0: int, "
    "arg1: int, arg2: int) -> pyvorn_device.ReturnCode",
    "Device.set_register": "set_register(self: pyvorn_device.Device, arg0: int, arg1: int, "
    "arg2: int) -> pyvorn_device.ReturnCode",
    "Device.send_registers": "send_registers(self: pyvorn_device.Device) "
    "-> pyvorn_device.ReturnCode",
    "Device.get_register_sync": "get_register_sync(self: pyvorn_device.Device, arg0: int) "
    "-> Optional[int]",
    "Device.get_register": "get_register(self: pyvorn_device.Device, arg0: int) -> int",
    "Device.read_registers": "read_registers(self: pyvorn_device.Device) "
    "-> pyvorn_device.ReturnCode",
    "Device.trigger": "trigger(self: pyvorn_device.Device, arg0: int, arg1: int) "
    "-> pyvorn_device.ReturnCode",
    "Device.write": "write(self: pyvorn_device.Device, arg0: int, arg1: Buffer) -> int",
    "Device.read": "read(self: pyvorn_device.Device, arg0: int, arg1: Buffer) -> int",
    "Device.start_read_stream": "start_read_stream(self: pyvorn_device.Device, addr: int, "
    "callback: Callable[[Optional[pyvorn_device.ManagedBuffer], Optional[str]], None], *, "
    "chunk_size: int = 0, max_queue_elements: int = 4096) -> Optional[pyvorn_device.DataStream]",
    "Device.start_aligned_read_stream": "start_aligned_read_stream(self: pyvorn_device.Device, "
    "addr: int, alignment: int, "
    "callback: Callable[[Optional[pyvorn_device.DataView], Optional[str]], None], *, "
    "chunk_size: int = 0, max_queue_elements: int = 4096) -> Optional[pyvorn_device.DataStream]",
    "Device.get_status": "get_status(self: pyvorn_device.Device) -> Optional[str]",
    "Device.get_info": "get_info(self: pyvorn_device.Device) -> Optional[str]",
    "DeviceManager.info": "info(self: pyvorn_device.DeviceManager) -> str",
    "DeviceManager.location": "location(self: pyvorn_device.DeviceManager) -> os.PathLike",
    "DeviceManager.list_devices": "list_devices(self: pyvorn_device.DeviceManager) -> str",
    "DeviceManager.get_device_options": "get_device_options("
    "self: pyvorn_device.DeviceManager) -> str",
    "DeviceManager.create_device": "create_device(self: pyvorn_device.DeviceManager, arg0: str) "
    "-> pyvorn_device.Device",
    "get_device_manager": "get_device_manager(arg0: os.PathLike) "
    "-> pyvorn_device.DeviceManager",
}


def _resolve(dotted):
    target = pyvorn_device
    for part in dotted.split("."):
        target = getattr(target, part)
    return target


@pytest.mark.parametrize("name", list(EXPECTED_SIGNATURES))
def test_generated_signature(name):
    # No user docstring: the signature line is all there is.
    assert _resolve(name).__doc__ == EXPECTED_SIGNATURES[name] + "\n"


def test_no_docstring_names_a_native_type():
    for cls in (DataStream, Device, DeviceManager, ReturnCode):
        for name, member in vars(cls).items():
            doc = getattr(member, "__doc__", None) or ""
            for native in ("vorn::", "std::", "BasicDevice", "PyDevice", "unsigned", "uint"):
                assert native not in doc, (cls.__name__, name, doc)


class TestReturnCode:
    def test_members_and_values(self):
        assert list(ReturnCode.__members__) == ["Success", "Failure"]
        assert ReturnCode.Success.value == 0
        assert ReturnCode.Failure.value == 1
        assert ReturnCode.Success.name == "Success"
        assert int(ReturnCode.Failure) == 1
        assert operator.index(ReturnCode.Failure) == 1
        assert str(ReturnCode.Failure) == "ReturnCode.Failure"
        assert repr(ReturnCode.Success) == "<ReturnCode.Success: 0>"

    def test_construction_from_int(self):
        assert ReturnCode(1) == ReturnCode.Failure
        assert ReturnCode(0) == ReturnCode.Success
        assert ReturnCode(0) != ReturnCode.Failure
        assert ReturnCode(value=1) == ReturnCode.Failure
        assert hash(ReturnCode(1)) == hash(ReturnCode.Failure)
        assert {ReturnCode.Failure: "f"}[ReturnCode(1)] == "f"

    def test_members_not_exported_into_module(self):
        assert not hasattr(pyvorn_device, "Success")
        assert not hasattr(pyvorn_device, "Failure")

    def test_not_arithmetic(self):
        # Equal only to members of the same enum, never to plain ints.
        assert ReturnCode.Success != 0
        assert ReturnCode.Failure != 1
        for op in (operator.lt, operator.le, operator.gt, operator.ge, operator.add,
                   operator.sub, operator.or_, operator.and_, operator.xor):
            with pytest.raises(TypeError):
                op(ReturnCode.Success, ReturnCode.Failure)
            with pytest.raises(TypeError):
                op(ReturnCode.Failure, 1)
        with pytest.raises(TypeError):
            ~ReturnCode.Success

    @pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
    def test_pickle_round_trip(self, protocol):
        for member in (ReturnCode.Success, ReturnCode.Failure):
            restored = pickle.loads(pickle.dumps(member, protocol=protocol))
            assert type(restored) is ReturnCode
            assert restored == member
            assert restored.value == member.value

    @pytest.mark.parametrize("protocol", [0, 1])
    def test_pickle_round_trip_old_protocols(self, protocol):
        # Protocols 0 and 1 go through copyreg, which tries to build the object from its
        # nearest non-heap base: isolated, since that path can abort the interpreter.
        result = run_python(
            f"""
            import pickle
            from pyvorn_device import ReturnCode
            for member in (ReturnCode.Success, ReturnCode.Failure):
                restored = pickle.loads(pickle.dumps(member, protocol={protocol}))
                assert type(restored) is ReturnCode and restored == member, restored
            print("ok")
            """
        )
        assert result.returncode == 0, result.stderr
        assert result.stdout == "ok\n"


@pytest.mark.parametrize("cls", [DataStream, ManagedBuffer, DataView, DeviceManager],
                         ids=lambda c: c.__name__)
def test_class_without_constructor(cls):
    with pytest.raises(TypeError) as error:
        cls()
    assert str(error.value) == f"pyvorn_device.{cls.__name__}: No constructor defined!"


def test_register_and_manager_arguments_are_positional_only(device, manager):
    calls = {
        "set_register_sync": dict(addr=1, value=2, mask=3),
        "set_register": dict(addr=1, value=2, mask=3),
        "get_register_sync": dict(addr=1),
        "get_register": dict(addr=1),
        "trigger": dict(addr=1, value=2),
        "write": dict(addr=0, data=bytearray(4)),
        "read": dict(addr=0, data=bytearray(4)),
    }
    for name, kwargs in calls.items():
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(device, name)(**kwargs)
        # The numbered placeholder names are not keywords either.
        placeholders = {f"arg{i}": v for i, v in enumerate(kwargs.values())}
        with pytest.raises(TypeError, match="incompatible function arguments"):
            getattr(device, name)(**placeholders)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        manager.create_device(options="")
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pyvorn_device.get_device_manager(path=str(manager.location()))
    # Nothing reached the device: a staged value would have been committed by the sync call.
    assert device.read_registers() == ReturnCode.Success
    assert device.get_register(1) == 0


def test_stream_options_are_keyword_only():
    # Refused during argument matching, before any stream machinery is built.
    dev = Device()
    cb = lambda payload, text: None  # noqa: E731
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dev.start_read_stream(0, cb, 1024)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dev.start_read_stream(0, cb, 1024, 4096)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        dev.start_aligned_read_stream(0, 4, cb, 1024)


def test_only_buffer_objects_export_buffers(device, manager):
    for obj in (Device(), device, manager, ReturnCode.Success):
        with pytest.raises(TypeError):
            memoryview(obj)
    for cls in (ManagedBuffer, DataView):
        assert "__buffer__" in vars(cls)
    for cls in (DataStream, Device, DeviceManager):
        assert "__buffer__" not in vars(cls)


def test_unpicklable_objects_refuse_every_protocol_without_aborting():
    # Protocols 0 and 1 would rebuild these through pybind11's common base and abort.
    result = run_python(
        """
        import os, pickle
        import pyvorn_device as p
        manager = p.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
        for obj in (p.Device(), manager, manager.create_device("")):
            for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
                try:
                    pickle.dumps(obj, protocol)
                except TypeError as error:
                    print(error)
        """
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert len(lines) == 3 * 6
    assert set(lines) == {"cannot pickle 'Device' object", "cannot pickle 'DeviceManager' object"}


@pytest.mark.parametrize("cls", [DataStream, ManagedBuffer, DataView, DeviceManager])
def test_objects_made_by_new_alone_are_refused(cls):
    result = run_python(
        f"""
        import pyvorn_device as p
        raw = p.{cls.__name__}.__new__(p.{cls.__name__})
        for use in (lambda: memoryview(raw), lambda: raw.stop(), lambda: raw.info()):
            try:
                use()
            except (RuntimeError, BufferError, TypeError, AttributeError) as error:
                print(type(error).__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    # the class's own operation is refused (the others do not exist on it)
    assert {"RuntimeError", "BufferError"} & set(result.stdout.split())
