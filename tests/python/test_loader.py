"""get_device_manager from Python: the loader's messages as RuntimeError, the path forms it takes,
faulty plug-ins, and when a plug-in library is mapped in the process."""

import os
import pathlib
import shutil

import pytest

import pyvorn_device
from pyvorn_device import DeviceManager, get_device_manager

from conftest import run_python, test_plugin

COUNTING = test_plugin("counting_manager")


def is_mapped(path) -> bool:
    """Whether the library file is mapped into this process."""
    target = os.path.realpath(path)
    with open("/proc/self/maps") as maps:
        return any(line.rstrip("\n").endswith(" " + target) for line in maps)


def loader_error(path) -> str:
    with pytest.raises(RuntimeError) as raised:
        get_device_manager(path)
    assert type(raised.value) is RuntimeError
    return str(raised.value)


@pytest.mark.parametrize(
    "path",
    ["no/such/dir/libplugin.so", "/nonexistent_vorn_dir/libplugin.so", "libplugin.so"],
)
def test_missing_path_is_named_as_passed(path):
    expected = "Device Manager not found: " + path
    assert loader_error(path) == expected
    assert loader_error(path.encode()) == expected
    assert loader_error(pathlib.Path(path)) == "Device Manager not found: " + str(
        pathlib.Path(path))


def test_directory_is_not_a_regular_file():
    directory = str(COUNTING.parent)
    assert loader_error(directory) == "Not a regular file: " + directory


def test_missing_entry_point_is_refused_and_the_library_unloaded():
    path = str(test_plugin("no_create_manager"))
    assert loader_error(path) == "Device Manager does not have create_manager function: " + path
    assert not is_mapped(path)


def test_factory_exception_is_wrapped_with_the_path():
    path = str(test_plugin("factory_throws"))
    assert loader_error(path) == "Failed to create manager: " + path + " factory exploded"
    assert not is_mapped(path)


def test_a_factory_throwing_its_own_exception_type_is_a_runtime_error():
    path = str(test_plugin("factory_throws_foreign_type"))
    assert loader_error(path) == "Failed to create manager: " + path + " unknown exception"
    assert not is_mapped(path)


def test_wrong_abi_tag_is_refused_naming_both_tags_and_the_path():
    path = str(test_plugin("wrong_abi_tag"))
    message = loader_error(path)
    assert message.startswith("Device Manager ABI tag mismatch: plug-in has 'vorn-plugin-abi-0', "
                              "module expects 'vorn-plugin-abi-"), message
    assert message.endswith("': " + path)
    assert not is_mapped(path)


def test_null_factory_result_is_none_and_nothing_stays_loaded():
    path = test_plugin("factory_returns_null")
    assert get_device_manager(path) is None
    assert not is_mapped(path)


def test_unresolved_symbol_is_a_python_error_not_a_crash():
    result = run_python(f"""
        import pyvorn_device
        try:
            pyvorn_device.get_device_manager({str(test_plugin("undefined_symbol"))!r})
        except RuntimeError as e:
            print("RuntimeError:", e)
        print("survived")
    """)
    assert result.returncode == 0, result.stderr
    assert "RuntimeError:" in result.stdout
    assert "vorn_test_factory_nobody_defines" in result.stdout
    assert result.stdout.rstrip().endswith("survived")


@pytest.mark.parametrize("form", [str, os.fsencode, pathlib.Path])
def test_path_forms(form):
    manager = get_device_manager(form(str(COUNTING)))
    assert type(manager) is DeviceManager
    assert manager.info() == "managers=1 devices=0"


@pytest.mark.parametrize("bad", [42, None, 1.5, ["x"]])
def test_non_path_arguments_raise_type_error(bad):
    with pytest.raises(TypeError):
        get_device_manager(bad)


def test_library_stays_mapped_until_the_last_manager_and_device_are_gone():
    first = get_device_manager(COUNTING)
    second = get_device_manager(COUNTING)
    assert first is not second
    assert second.info() == "managers=2 devices=0"
    del first
    assert second.info() == "managers=1 devices=0"

    device = second.create_device("")
    del second
    assert is_mapped(COUNTING), "the device no longer keeps its plug-in loaded"
    assert device.send_registers() == pyvorn_device.ReturnCode.Success
    del device
    assert not is_mapped(COUNTING)


def test_sibling_library_is_found_beside_a_copied_plugin(tmp_path, monkeypatch):
    plugin = test_plugin("with_sibling")
    shutil.copy(plugin, tmp_path)
    shutil.copy(plugin.with_name("libwith_sibling_helper.so"), tmp_path)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    manager = get_device_manager(pathlib.Path("..") / plugin.name)
    assert manager.info() == "hello from the sibling"
