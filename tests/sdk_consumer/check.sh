#!/usr/bin/env bash
# Installs the SDK from the build tree, builds tests/sdk_consumer against it alone, and drives
# the resulting plug-in through the module. Then the same with the SDK inside a pip-installed
# package, found through `vorn sdk --cmake-dir`, driven by that package's `vorn`; and the example
# of `vorn sdk --help` as written: a new plug-in project, built with warnings as errors, that
# passes `vorn check`.
#   check.sh BUILD_DIR PYTHON CMAKE
set -euo pipefail
build=$1
python=$2
cmake=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cmake" --install "$build" --prefix "$work/sdk" >/dev/null
"$cmake" -S "$here" -B "$work/consumer" -Dvorn_DIR="$work/sdk/lib/cmake/vorn" >/dev/null
"$cmake" --build "$work/consumer" >/dev/null

PYTHONPATH="$build" "$python" - "$work/consumer/libecho_plugin.so" <<'PY'
import sys
import threading
import pyvorn_device as p

manager = p.get_device_manager(sys.argv[1])
device = manager.create_device("")
assert manager.info() == "echo manager", manager.info()
assert device.set_register_sync(1, 0xABCD, 0xFF) == p.ReturnCode.Success
assert device.get_register_sync(1) == 0xCD
assert device.trigger(0, 0) == p.ReturnCode.Failure
assert device.write(0, b"xyz") == 3
out = bytearray(5)
assert device.read(0, out) == 3 and out[:3] == b"xyz"
assert device.get_info() == "echo device" and device.get_status() is None
events = []
ended = threading.Event()
def record(payload, text):
    events.append(bytes(payload) if payload is not None else text)
    if payload is None and text is None:
        ended.set()
stream = device.start_read_stream(0, record)
assert ended.wait(10)
stream.stop()
assert events == [b"xy", b"z", None], events
assert str(manager.location()).endswith("libecho_plugin.so"), manager.location()
quoted = manager.create_device('info="a, b"')
assert quoted.get_info() == "a, b", quoted.get_info()
try:
    manager.create_device("colour=red")
    raise AssertionError("unknown option accepted")
except ValueError as e:
    assert "unknown option 'colour'" in str(e), e
del manager
assert device.get_register_sync(1) == 0xCD  # the keep-alive holds the plug-in
print("sdk consumer plug-in: ok")
PY

# The package as pip installs it (into a directory of its own, to spare a virtual environment).
# It compiles in build-dist/ with the settings of `./dev.sh wheel`, which then finds it built.
src=$(cd "$here/../.." && pwd)
"$python" -m pip install -q --no-build-isolation --no-deps --target "$work/site" \
    -C build-dir="$src/build-dist" -C cmake.build-type=RelWithDebInfo "$src"
vorn() { PYTHONPATH="$work/site" "$work/site/bin/vorn" "$@"; }
cmake_dir=$(vorn sdk --cmake-dir)
case "$cmake_dir" in "$work/site/"*) ;; *) echo "SDK outside the package: $cmake_dir"; exit 1 ;; esac
"$cmake" -S "$here" -B "$work/wheel_consumer" -Dvorn_DIR="$cmake_dir" >/dev/null
"$cmake" --build "$work/wheel_consumer" >/dev/null
plugin="$work/wheel_consumer/libecho_plugin.so"
vorn info "$plugin" | grep "echo manager" >/dev/null
vorn reg "$plugin" 1 0xABCD 0xFF | grep "= 0x000000cd" >/dev/null
vorn check "$plugin" >"$work/check.txt" || { cat "$work/check.txt"; exit 1; }
echo "sdk consumer plug-in from the pip-installed SDK: ok"

# `vorn sdk --help`'s example, line by line, with `vorn` and cmake on PATH as a user has them.
mkdir "$work/author"
PYTHONPATH="$work/site" "$work/site/bin/vorn" sdk --help | sed -n '/^example:/,$p' | tail -n +2 \
    >"$work/author/example.sh"
grep -q -- "--new-plugin" "$work/author/example.sh"
(
    cd "$work/author"
    export PYTHONPATH="$work/site" PATH="$work/site/bin:$(dirname "$cmake"):$PATH"
    export CXXFLAGS="-Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror"
    bash -euo pipefail example.sh >"$work/author/log.txt" 2>&1
) || { cat "$work/author/log.txt"; exit 1; }
grep -q "0 check(s) failed" "$work/author/log.txt" || { cat "$work/author/log.txt"; exit 1; }
echo "new plug-in project from vorn sdk --new-plugin: ok"
