"""DeviceManager: the plug-in's texts and location, device creation (argument forms, the
interpreter lock), and the lifetimes of managers and the devices they make."""

import pathlib
import threading

import pytest

import pyvorn_device
from pyvorn_device import Device, ReturnCode

from conftest import SIM_PLUGIN, run_python, test_plugin


def test_texts_are_non_empty_str(manager):
    for text in (manager.info(), manager.list_devices(), manager.get_device_options()):
        assert type(text) is str
        assert text.strip()


def test_device_options_document_the_keys_create_device_accepts(manager):
    options = manager.get_device_options()
    for key in ("name", "fail_send", "fail_read", "default_chunk_size", "stream_fill"):
        assert key in options
    manager.create_device("name=x fail_send=0 fail_read=0 default_chunk_size=16 stream_fill=0")


def test_location_is_the_plugin_path(manager):
    location = manager.location()
    assert isinstance(location, pathlib.Path)
    assert location.is_absolute()
    assert location.resolve() == SIM_PLUGIN.resolve()


def test_create_device_returns_a_device(manager):
    dev = manager.create_device("")
    assert type(dev) is Device
    assert dev.set_register_sync(1, 2, 3) == ReturnCode.Success


@pytest.mark.parametrize(
    "as_str, as_bytes",
    [
        ("name=plain", b"name=plain"),
        ("name=gr\u00fc\u00dfe_\u2713", "name=gr\u00fc\u00dfe_\u2713".encode()),
        ("name=nul\x00inside", b"name=nul\x00inside"),  # not cut at the NUL
    ],
)
def test_create_device_accepts_str_bytes_and_bytearray(manager, as_str, as_bytes):
    name = as_str.removeprefix("name=")
    infos = {
        form: manager.create_device(options).get_info()
        for form, options in (("str", as_str), ("bytes", as_bytes),
                              ("bytearray", bytearray(as_bytes)))
    }
    assert len(set(infos.values())) == 1, infos
    assert name in infos["str"]


def test_create_device_refuses_other_types(manager):
    for bad in (None, 5, ["name=x"], memoryview(b"name=x")):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            manager.create_device(bad)


def test_bytes_that_are_not_utf8_reach_the_plugin(manager):
    # The plug-in gets the bytes unchanged; its text coming back is then not valid UTF-8.
    dev = manager.create_device(b"name=\xff\xfe")
    with pytest.raises(UnicodeDecodeError):
        dev.get_info()
    assert dev.set_register_sync(1, 2, 3) == ReturnCode.Success


def test_create_device_errors_come_back_per_call(manager):
    # create_device runs without the interpreter lock; the plug-in's exception must still come
    # back as a Python exception, and the manager stays usable.
    for _ in range(3):
        with pytest.raises(ValueError, match="bogus"):
            manager.create_device("bogus=1")
        assert manager.create_device("name=after").get_info() is not None


def test_concurrent_create_device(manager):
    results, errors = {}, []

    def create(index):
        try:
            for round_ in range(20):
                name = f"t{index}r{round_}"
                results[name] = manager.create_device(f"name={name}").get_info()
                with pytest.raises(ValueError):
                    manager.create_device(f"name={name},unknown_{index}=1")
        except BaseException as error:  # reported below, on the test's thread
            errors.append(error)

    threads = [threading.Thread(target=create, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    assert len(results) == 80
    for name, info in results.items():
        assert f"'{name}'" in info


def test_create_device_lets_other_threads_run():
    # With a switch interval far longer than the test, a Python thread can run only when the
    # main thread gives the interpreter lock away by itself. The counter thread sleeps (lock
    # released) between increments, so the main thread is never kept waiting. A call that keeps
    # the lock (info) must see no progress at all; create_device, with an options text that
    # takes the plug-in some milliseconds to parse, must see progress in some of its calls.
    result = run_python(
        """
        import os, sys, threading, time
        import pyvorn_device

        manager = pyvorn_device.get_device_manager(os.environ["VORN_SIM_PLUGIN"])
        slow_options = b" " * 8_000_000  # separators only: every default, parsed byte by byte
        sys.setswitchinterval(1000)
        counter = 0
        stop = False

        def count():
            global counter
            while not stop:
                counter += 1
                time.sleep(0.0001)

        def progressing_calls(call, rounds):
            progressed = 0
            for _ in range(rounds):
                before = counter
                call()
                progressed += counter != before
            return progressed

        thread = threading.Thread(target=count)
        thread.start()
        held = progressing_calls(manager.info, 200)
        released = progressing_calls(lambda: manager.create_device(slow_options), 30)
        stop = True
        thread.join()
        print(held, released)
        """,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    held, released = map(int, result.stdout.split())
    assert held == 0
    assert released >= 1


def _plugin_mapped_snippet():
    return """
        import gc, os
        import pyvorn_device

        PLUGIN = os.environ["VORN_SIM_PLUGIN"]

        def plugin_mapped():
            with open("/proc/self/maps") as maps:
                return os.path.basename(PLUGIN) in maps.read()
        """


def test_device_outlives_its_manager_object():
    result = run_python(
        _plugin_mapped_snippet()
        + """
        from pyvorn_device import ReturnCode
        manager = pyvorn_device.get_device_manager(PLUGIN)
        dev = manager.create_device("name=orphan")
        del manager
        gc.collect()
        # The device's keep-alive holds the manager, and with it the library.
        assert plugin_mapped()
        assert dev.set_register_sync(7, 0x55, 0xFF) == ReturnCode.Success
        assert dev.get_register_sync(7) == 0x55
        assert dev.trigger(1, 2) == ReturnCode.Success
        assert "orphan" in dev.get_info()
        assert dev.get_status()
        del dev
        gc.collect()
        # The device was the last owner: the library is gone now.
        assert not plugin_mapped()
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_a_device_without_a_keep_alive_still_holds_its_plugin():
    result = run_python(
        f"""
        import gc
        import pyvorn_device
        manager = pyvorn_device.get_device_manager({str(test_plugin("device_without_keep_alive"))!r})
        dev = manager.create_device("")
        del manager
        gc.collect()
        assert dev.get_register_sync(6) == 7
        assert dev.get_info() == "i" * 40
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"


def test_two_managers_from_one_path_are_independent():
    result = run_python(
        _plugin_mapped_snippet()
        + """
        first = pyvorn_device.get_device_manager(PLUGIN)
        second = pyvorn_device.get_device_manager(PLUGIN)
        assert first is not second
        assert type(first) is type(second) is pyvorn_device.DeviceManager
        assert first.location() == second.location()
        a, b = first.create_device("name=a"), second.create_device("name=b")
        a.set_register_sync(1, 11, 0xFF)
        b.set_register_sync(1, 22, 0xFF)
        del first
        gc.collect()
        assert second.info()
        assert second.create_device("name=c").get_info()
        assert (a.get_register_sync(1), b.get_register_sync(1)) == (11, 22)
        del second, a
        gc.collect()
        assert plugin_mapped()  # b still holds its manager
        assert b.get_register_sync(1) == 22
        del b
        gc.collect()
        assert not plugin_mapped()
        print("ok")
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout == "ok\n"



def test_an_exception_raised_while_converting_the_path_reaches_the_caller_unchanged():
    # KeyboardInterrupt (Ctrl-C) inside __fspath__ was turned into "incompatible function
    # arguments"; a TypeError still means "not a path". Buffers are converted in the call itself.
    result = run_python("""
        import pyvorn_device

        class Interrupting:
            def __fspath__(self):
                raise KeyboardInterrupt

        class InterruptingBuffer:
            def __buffer__(self, flags):
                raise KeyboardInterrupt

        outcomes = []
        for call in (lambda: pyvorn_device.get_device_manager(Interrupting()),
                     lambda: pyvorn_device.get_device_manager(3)):
            try:
                call()
            except BaseException as e:
                outcomes.append(type(e).__name__)
        device = pyvorn_device.Device()
        for call in (device.write, device.read):
            try:
                call(0, InterruptingBuffer())
            except BaseException as e:
                outcomes.append(type(e).__name__)
        print("OUTCOMES", outcomes)
        """, timeout=60)
    assert ("OUTCOMES ['KeyboardInterrupt', 'TypeError', 'KeyboardInterrupt', "
            "'KeyboardInterrupt']") in result.stdout, result.stdout + result.stderr
