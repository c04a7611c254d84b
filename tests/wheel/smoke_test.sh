#!/usr/bin/env bash
# Installs a wheel into a new virtual environment outside the source tree and drives it there
# (in_fresh_venv.sh): ldd of every shipped binary, plug-in and bundled library, the demo,
# `vorn check sim`, a capture through vorn-serve on loopback, and two plug-ins built against the
# installed SDK: tests/sdk_consumer and the template of `vorn sdk --new-plugin`. The source and build trees are out of reach (an empty tmpfs over each, in a
# mount namespace of its own, inside a user namespace when not run as root), the Debian copies
# of the bundled libraries are replaced by empty files there, and LD_LIBRARY_PATH is empty.
#   smoke_test.sh WHEEL PYTHON3.13 [DIR_TO_HIDE...]
set -euo pipefail
wheel=$(realpath "$1")
python=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
work=$(mktemp -d /tmp/vorn-wheel-smoke.XXXXXX)
trap 'rm -rf "$work"' EXIT

# A plug-in author's environment: the package and CMake (pinned as for development).
cmake_pin=$(grep -E '^cmake==' "$src/requirements-dev.txt")
"$python" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check --no-deps \
    "$wheel" "$cmake_pin"
cp "$src/examples/demo.py" "$here/in_fresh_venv.sh" "$here/check_ldd.py" "$work/"
cp -r "$src/tests/sdk_consumer" "$work/sdk_consumer"

site=$("$work/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("platlib"))')
libs="$site/pyvorn_device.libs"
[ -d "$libs" ] || { echo "no bundled libraries in $libs"; exit 1; }

# The system's copy of each bundled library (auditwheel renames libfoo.so.1.2 to
# libfoo-HASH.so.1.2), to be blanked inside the namespace.
: >"$work/blank"
system_copies=()
for bundled in "$libs"/*; do
    name=$(basename "$bundled" | sed -E 's/-[0-9a-f]{8}\././')
    for dir in /usr/lib/x86_64-linux-gnu /lib/x86_64-linux-gnu /usr/local/lib; do
        [ -f "$dir/$name" ] && system_copies+=("$(realpath "$dir/$name")")
    done
done
mapfile -t system_copies < <(printf '%s\n' "${system_copies[@]}" | sort -u)
[ ${#system_copies[@]} -gt 0 ] || { echo "no system copy of any bundled library found"; exit 1; }

hide=("$src" "$@")
namespace=(--mount --propagation private)
[ "$(id -u)" -eq 0 ] || namespace+=(--user --map-root-user)
unshare "${namespace[@]}" -- bash -euo pipefail -c '
    work=$1; blank=$2; shift 2
    while [ "$1" != -- ]; do mount -t tmpfs -o ro none "$1"; shift; done; shift
    for lib in "$@"; do mount --bind "$blank" "$lib"; done
    cd "$work"
    exec env -i PATH="$work/venv/bin:/usr/bin:/bin" HOME="$work" LD_LIBRARY_PATH= \
        bash "$work/in_fresh_venv.sh" "$work"
' smoke "$work" "$work/blank" "${hide[@]}" -- "${system_copies[@]}"
