"""`pip install .` builds outside the source tree: scikit-build-core compiles in a temporary
directory unless pyproject.toml names a build-dir, and a named one must sit outside the tree or in
a git-ignored top-level `build*/` folder (`./dev.sh wheel` and tests/sdk_consumer pass their own
`-C build-dir=build-dist`, which is one of those)."""

import pathlib
import re
import subprocess
import tomllib

ROOT = pathlib.Path(__file__).resolve().parents[2]


def writes_into_source_tree(build_dir: str | None) -> bool:
    if build_dir is None:
        return False
    # Placeholders such as {wheel_tag} or {build_type} only name subfolders.
    path = (ROOT / re.sub(r"\{[^}]*\}", "x", build_dir)).resolve()
    if not path.is_relative_to(ROOT):
        return False
    top = path.relative_to(ROOT).parts[0] if path != ROOT else ""
    if not top.startswith("build"):
        return True
    ignored = subprocess.run(["git", "check-ignore", "-q", f"{top}/"], cwd=ROOT, timeout=30)
    return ignored.returncode != 0


def test_pip_install_builds_outside_the_source_tree():
    settings = tomllib.loads((ROOT / "pyproject.toml").read_text())
    build_dir = settings.get("tool", {}).get("scikit-build", {}).get("build-dir")
    assert not writes_into_source_tree(build_dir), f"pyproject.toml: build-dir = {build_dir!r}"


def test_build_dir_rule():
    assert writes_into_source_tree("_skbuild/{wheel_tag}")
    assert writes_into_source_tree(".")
    assert not writes_into_source_tree("build-dist")
    assert not writes_into_source_tree("/tmp/elsewhere")
