"""The type stubs: a typed user script type-checks and runs as typed; wrong calls in it fail
type checking. (stubtest and mypy over examples/ run in ./dev.sh test.)"""

import pytest

from conftest import SIM_PLUGIN, TESTS_DIR, UNDER_ASAN

mypy_api = pytest.importorskip("mypy.api")

ROOT = TESTS_DIR.parent.parent
SCRIPT = ROOT / "tests" / "typing" / "user_script.py"

pytestmark = pytest.mark.skipif(UNDER_ASAN, reason="type checking needs no sanitizer")


@pytest.fixture
def type_check(tmp_path, monkeypatch):
    monkeypatch.setenv("MYPYPATH", str(ROOT / "stubs"))

    def check(source: str) -> tuple[int, str]:
        script = tmp_path / "user_script.py"
        script.write_text(source)
        out, err, status = mypy_api.run(["--strict", "--no-incremental", str(script)])
        return status, out + err

    return check


def test_typed_script_checks_and_runs_as_typed(type_check):
    status, report = type_check(SCRIPT.read_text())
    assert status == 0, report
    namespace: dict[str, object] = {}
    exec(compile(SCRIPT.read_text(), str(SCRIPT), "exec"), namespace)
    namespace["main"](SIM_PLUGIN)  # the stubs' claims hold at run time


@pytest.mark.parametrize("right, wrong, complaint", [
    ("get_register_sync(0x10)", 'get_register_sync("0x10")', 'incompatible type "str"'),
    ("start_read_stream(0, on_chunk, chunk_size", "start_read_stream(0, chunk_size",
     'Missing positional argument "callback"'),
    ("start_read_stream(0, on_chunk,", "start_read_stream(0, on_view,", 'incompatible type'),
    ("chunk_size=10_000)", "10_000)", "Too many positional arguments"),
    ('device.write(0x2000, b"0123456789abcdef")', 'device.write(0x2000, "text")',
     'incompatible type "str"'),
])
def test_wrong_call_fails_type_checking(type_check, right, wrong, complaint):
    source = SCRIPT.read_text()
    assert source.count(right) == 1
    status, report = type_check(source.replace(right, wrong))
    assert status == 1 and complaint in report, report
