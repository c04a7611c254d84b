"""Every ELF file of the installed package resolves each library outside the base system inside
the package's own folder (pyvorn_device.libs/), and none is missing.

    python check_ldd.py SITE_PACKAGES
"""

import pathlib
import re
import subprocess
import sys

# What every manylinux system provides; anything else must come with the wheel.
BASE = {"linux-vdso.so.1", "ld-linux-x86-64.so.2", "libc.so.6", "libm.so.6", "libdl.so.2",
        "librt.so.1", "libpthread.so.0", "libstdc++.so.6", "libgcc_s.so.1", "libresolv.so.2",
        "libutil.so.1", "libnsl.so.1", "libz.so.1"}
LINE = re.compile(r"^\s*(\S+)(?: => (\S+|not found))?")


def shipped_elf_files(site: pathlib.Path) -> list[pathlib.Path]:
    owned = [p for p in site.iterdir() if p.name.startswith("pyvorn_device")]
    files = [f for p in owned for f in ([p] if p.is_file() else p.rglob("*")) if f.is_file()]
    return sorted(f for f in files if f.read_bytes()[:4] == b"\x7fELF")


def foreign_libraries(elf: pathlib.Path, libs: pathlib.Path) -> list[str]:
    out = subprocess.run(["ldd", str(elf)], capture_output=True, text=True, check=True).stdout
    bad = []
    for line in out.splitlines():
        match = LINE.match(line)
        if not match or "statically linked" in line:
            continue
        name, where = match.groups()
        if where == "not found":
            bad.append(f"{name} not found")
        elif pathlib.Path(name).name not in BASE and where is not None \
                and not pathlib.Path(where).resolve().is_relative_to(libs):
            bad.append(f"{name} => {where}")
    return bad


def main() -> int:
    site = pathlib.Path(sys.argv[1]).resolve()
    libs = site / "pyvorn_device.libs"
    files = shipped_elf_files(site)
    kinds = {"module": [f for f in files if f.parent == site],
             "plug-ins": [f for f in files if f.parent.name == "pyvorn_device_plugins"],
             "vorn-serve": [f for f in files if f.name == "vorn-serve"],
             "vorn-check": [f for f in files if f.name == "vorn-check"],
             "bundled libraries": [f for f in files if f.parent == libs]}
    missing = [kind for kind, found in kinds.items() if not found]
    if missing or len(kinds["plug-ins"]) < 3:
        print(f"not in the package: {', '.join(missing) or 'all three plug-ins'}")
        return 1
    status = 0
    for elf in files:
        bad = foreign_libraries(elf, libs)
        print(f"{'FAIL' if bad else 'ok  '} {elf.relative_to(site)}")
        for entry in bad:
            print(f"       {entry}")
        status |= bool(bad)
    return status


if __name__ == "__main__":
    sys.exit(main())
