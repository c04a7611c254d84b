#!/usr/bin/env bash
# The wheel smoke test's steps, run by smoke_test.sh inside its mount namespace with nothing of
# the source or build trees in reach. WORK holds the virtual environment and copies of the demo
# and of tests/sdk_consumer; the plug-in template comes from the installed `vorn sdk --new-plugin`.
#   in_fresh_venv.sh WORK
set -euo pipefail
work=$1
cd "$work"
python=$work/venv/bin/python
site=$("$python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
step() { printf '\n== wheel: %s\n' "$*"; }

step "the module comes from the environment"
"$python" -c 'import pyvorn_device, sys; print(pyvorn_device.__file__); sys.exit(not pyvorn_device.__file__.startswith(sys.argv[1]))' "$site"

step "ldd: non-base libraries resolve inside the package"
"$python" check_ldd.py "$site"

step "the demo"
timeout 120 "$python" demo.py --seconds 1

step "vorn check sim"
timeout 300 vorn check sim

step "a capture through vorn-serve on loopback"
sim=$site/pyvorn_device_plugins/libvorn_sim.so
bytes=3000000
timeout 120 vorn-serve "$sim" --bind 'tcp://127.0.0.1:*' --device "capture=stream_bytes=$bytes" \
    2>serve.log &
server=$!
endpoint=""
for _ in $(seq 200); do
    endpoint=$(sed -nE 's/.* on (tcp:\/\/127\.0\.0\.1:[0-9]+).*/\1/p' serve.log)
    [ -n "$endpoint" ] && break
    kill -0 "$server" 2>/dev/null || { cat serve.log; exit 1; }
    sleep 0.1
done
[ -n "$endpoint" ] || { echo "vorn-serve did not report its endpoint"; cat serve.log; exit 1; }
timeout 120 vorn capture remote -q -o "endpoint=$endpoint device=capture" \
    --bytes "$bytes" --chunk-size 65536 -f capture.bin
kill -TERM "$server"
wait "$server" || { echo "vorn-serve exited with $?"; cat serve.log; exit 1; }
"$python" - "$bytes" <<'PY'
import sys
size = int(sys.argv[1])
data = open("capture.bin", "rb").read()
expected = bytes(range(251)) * (size // 251 + 1)
assert data == expected[:size], f"capture: {len(data)} bytes, not the device's pattern"
print(f"capture: {size} bytes, the device's pattern")
PY

step "a plug-in built against the installed SDK, loaded by path from here"
cmake=$work/venv/bin/cmake
"$cmake" -S sdk_consumer -B consumer -Dvorn_DIR="$(vorn sdk --cmake-dir)" >/dev/null
"$cmake" --build consumer >/dev/null
plugin=$work/consumer/libecho_plugin.so
vorn reg "$plugin" 1 0xABCD 0xFF | grep "= 0x000000cd"
timeout 300 vorn check "$plugin" >check.txt || { cat check.txt; exit 1; }
echo "vorn check: $(grep -c PASS check.txt) checks passed"

step "the plug-in template of vorn sdk --new-plugin, built against the installed SDK"
vorn sdk --new-plugin myplugin >/dev/null
CXXFLAGS="-Wall -Wextra -Wpedantic -Wconversion -Wshadow -Werror" \
    "$cmake" -S myplugin -B myplugin/build -Dvorn_DIR="$(vorn sdk --cmake-dir)" >/dev/null
"$cmake" --build myplugin/build >/dev/null
timeout 300 vorn check myplugin/build/libmyplugin.so >template_check.txt \
    || { cat template_check.txt; exit 1; }
grep -q "0 check(s) failed" template_check.txt || { cat template_check.txt; exit 1; }
echo "vorn check: $(grep -c PASS template_check.txt) checks passed"

step "passed"
