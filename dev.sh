#!/usr/bin/env bash
# Set-up, build and run for pyvorn_device. Everything a fresh Debian 12 machine lacks is
# installed on the way (Debian packages, a CPython 3.13 virtual environment, Python packages).
#
#   ./dev.sh demo     set up, install the module into .venv with pip, run the demo
#   ./dev.sh test     set up, build, run every native and Python test: the plain build (Python
#                     under -X dev, then stubtest and mypy), the wheel smoke-tested in a fresh
#                     environment, the docs, then ASan+UBSan (native and Python) and TSan (native)
#   ./dev.sh fast     the plain build's tests and type checks only
#   ./dev.sh build    set up and build only (build/)
#   ./dev.sh wheel    set up, build a self-contained wheel into dist/ (auditwheel-repaired)
#   ./dev.sh docs     set up, build the documentation site into build/docs/html
#   ./dev.sh bench    set up, build, benchmark against baselines, then remote against local,
#                     then the PVAccess stream PV against local (bench/; --quick, --update-readme)
#   ./dev.sh stress   set up, build, run the stress suite and 60 s of each fuzzer
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
VENV=$ROOT/.venv
BUILD=${VORN_BUILD_DIR:-$ROOT/build}

DEBIAN_PACKAGES=(build-essential libboost-dev libboost-filesystem-dev libspdlog-dev libfmt-dev
    libreaderwriterqueue-dev libgtest-dev libbenchmark-dev libzmq3-dev cppzmq-dev pkg-config
    ccache)

# Each heading shows the time since dev.sh started, so a run's log gives each stage's duration.
log() { printf '\033[1m== [%d:%02d] %s\033[0m\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

install_debian_packages() {
    local missing=()
    for pkg in "${DEBIAN_PACKAGES[@]}" "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    log "installing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
}

find_python313() {
    local root candidate
    root=$(pyenv root 2>/dev/null || echo "${PYENV_ROOT:-$HOME/.pyenv}")
    for candidate in "$root"/versions/3.13*/bin/python3.13 "$(command -v python3.13 || true)"; do
        if [ -x "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    echo "CPython 3.13 not found: install it (for example 'pyenv install 3.13.0') and retry." >&2
    return 1
}

setup_python() {
    if [ ! -x "$VENV/bin/python" ] || ! "$VENV/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
        local python
        python=$(find_python313)
        log "creating $VENV from $python"
        rm -rf "$VENV"
        "$python" -m venv "$VENV"
    fi
    local stamp="$VENV/.requirements-installed"
    if ! cmp -s requirements-dev.txt "$stamp"; then
        log "installing Python packages"
        "$VENV/bin/python" -m pip install -q --upgrade pip >/dev/null
        "$VENV/bin/python" -m pip install -q -r requirements-dev.txt
        cp requirements-dev.txt "$stamp"
    fi
    export PATH="$VENV/bin:$PATH"
}

# Every build goes through ccache unless the caller chose a launcher. Build directories that sit
# one level below the root (build/, build-dist/) compile with the same relative paths, and the
# working directory stays out of the hash, so the wheel's build reuses the plain build's objects.
# The compiler is named the same way for both too: scikit-build-core would otherwise pass
# Python's own CXX (g++) where CMake picks c++, and ccache tells the two names apart.
enable_compiler_cache() {
    export CXX=${CXX:-c++}
    export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$ROOT}
    export CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-1}
}

configure_and_build() {
    local build_dir=$1
    shift
    log "building in $build_dir"
    cmake -S "$ROOT" -B "$build_dir" -G Ninja -DPython_EXECUTABLE="$VENV/bin/python" "$@" >/dev/null
    cmake --build "$build_dir" -j "$(nproc)"
}

run_tests() {
    local build_dir=$1
    shift
    log "native tests ($build_dir)"
    ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
    log "Python tests ($build_dir, python -X dev)"
    PYTHONPATH="$build_dir" python -X dev -m pytest -q tests/python "$@"
    # tests/tools holds the pure-Python tools' suites: they run in this stage only, in a run of
    # their own (each directory's conftest is imported as `conftest`).
    if compgen -G "tests/tools/test_*.py" >/dev/null; then
        PYTHONPATH="$build_dir" python -X dev -m pytest -q tests/tools "$@"
    fi
}

# The stubs against the built module (stubtest), and strict type checking of the examples, the
# tools and a typed user script through them.
run_type_checks() {
    local build_dir=$1
    log "type checks (stubtest, mypy --strict)"
    PYTHONPATH="$build_dir" MYPYPATH="$ROOT/stubs" \
        python -m mypy.stubtest --allowlist stubs/stubtest_allowlist.txt pyvorn_device
    MYPYPATH="$ROOT/stubs:$ROOT/tools" \
        python -m mypy --strict examples/ tools/pyvorn_device_tools tests/typing
}

# AddressSanitizer + UndefinedBehaviorSanitizer over the module, the plug-ins and the native
# tests, with the interpreter checking that every reference count change holds the lock. Python
# itself is not instrumented: the ASan runtime (and libstdc++, whose exceptions ASan intercepts)
# is preloaded into python3.13. CPython frees little at exit, so leak checking is for native tests.
UBSAN_RUN_OPTIONS="halt_on_error=1:print_stacktrace=1:suppressions=$ROOT/tests/ubsan.supp"

run_address_sanitizer() {
    local build_dir="$ROOT/build-asan"
    configure_and_build "$build_dir" -DVORN_SANITIZE=address -DVORN_ASSERT_GIL=ON
    log "native tests under ASan+UBSan"
    ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS="$UBSAN_RUN_OPTIONS" \
        ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)" -E sdk_consumer
    log "Python tests under ASan+UBSan"
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
        ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS="$UBSAN_RUN_OPTIONS" PYTHONPATH="$build_dir" \
        python -m pytest -q -p no:cacheprovider tests/python "$@"
}

# ThreadSanitizer over the native tests (queue, aligner, loader); no Python.
run_thread_sanitizer() {
    local build_dir="$ROOT/build-tsan"
    configure_and_build "$build_dir" -DVORN_SANITIZE=thread -DVORN_BUILD_MODULE=OFF
    log "native tests under TSan"
    TSAN_OPTIONS="suppressions=$ROOT/tests/tsan.supp halt_on_error=1" \
        ctest --test-dir "$build_dir" --output-on-failure -j "$(nproc)"
}

# The wheel: scikit-build-core compiles in build-dist/ (kept between runs, same build type as
# build/, so an unchanged tree only relinks), then auditwheel copies the non-base libraries into
# pyvorn_device.libs/ and points every binary and plug-in at them through $ORIGIN run paths.
WHEEL_DIR=$ROOT/dist

build_wheel() {
    log "building the wheel (build-dist/, then auditwheel into dist/)"
    local raw="$ROOT/build-dist/unrepaired"
    rm -rf "$raw" "$WHEEL_DIR"
    python -m pip wheel -q --no-build-isolation --no-deps -w "$raw" \
        -C build-dir="$ROOT/build-dist" -C cmake.build-type=RelWithDebInfo "$ROOT"
    python -m auditwheel repair --strip -w "$WHEEL_DIR" "$raw"/*.whl
    ls -l "$WHEEL_DIR"
}

# Installs the wheel into a new virtual environment outside the source tree and drives it there,
# with the source and build trees hidden (tests/wheel/smoke_test.sh).
run_wheel_smoke_test() {
    log "wheel smoke test in a fresh environment"
    local wheels=("$WHEEL_DIR"/*.whl)
    tests/wheel/smoke_test.sh "${wheels[0]}" "$(find_python313)"
}

# The documentation site: Sphinx over docs/, with autodoc and the `vorn` reference read from the
# built module and tools. Warnings are errors.
build_docs() {
    log "documentation (docs/ into $BUILD/docs/html)"
    PYTHONPATH="$BUILD:$ROOT/tools" python -m sphinx -W --keep-going -q -b html \
        -d "$BUILD/docs/doctrees" docs "$BUILD/docs/html"
}

command=${1:-}
[ $# -gt 0 ] && shift
case "$command" in
demo)
    install_debian_packages
    setup_python
    enable_compiler_cache
    log "installing pyvorn_device into $VENV"
    python -m pip install -q --no-build-isolation "$ROOT"
    cd /tmp # import the installed module, not a source tree
    exec python "$ROOT/examples/demo.py" "$@"
    ;;
test)
    install_debian_packages
    setup_python
    enable_compiler_cache
    configure_and_build "$BUILD"
    run_tests "$BUILD" "$@"
    run_type_checks "$BUILD"
    build_wheel
    run_wheel_smoke_test
    build_docs
    run_address_sanitizer "$@"
    run_thread_sanitizer
    log "all tests passed"
    ;;
fast)
    install_debian_packages
    setup_python
    enable_compiler_cache
    configure_and_build "$BUILD"
    run_tests "$BUILD" "$@"
    run_type_checks "$BUILD"
    ;;
bench)
    install_debian_packages
    setup_python
    enable_compiler_cache
    configure_and_build "$BUILD" -DVORN_BUILD_BENCHMARKS=ON
    # Both run, so the remote rows come from the same run as the local ones; either can fail it.
    status=0
    PYTHONPATH="$BUILD" python bench/stream_bench.py "$@" || status=$?
    PYTHONPATH="$BUILD" python bench/remote_bench.py "$@" || status=$?
    PYTHONPATH="$BUILD:$ROOT/tools" python bench/pva_bench.py "$@" || status=$?
    exit $status
    ;;
stress)
    install_debian_packages clang libclang-rt-14-dev
    setup_python
    enable_compiler_cache
    configure_and_build "$BUILD"
    exec python tests/stress/run_stress.py --build "$BUILD" "$@"
    ;;
docs)
    install_debian_packages
    setup_python
    enable_compiler_cache
    configure_and_build "$BUILD"
    build_docs
    ;;
wheel)
    install_debian_packages
    setup_python
    enable_compiler_cache
    build_wheel
    ;;
build)
    install_debian_packages
    setup_python
    enable_compiler_cache
    configure_and_build "$BUILD" "$@"
    ;;
*)
    sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'
    exit 2
    ;;
esac
