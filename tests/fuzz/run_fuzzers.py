"""Builds the libFuzzer targets of tests/fuzz with clang and runs each for a bounded time.

    python tests/fuzz/run_fuzzers.py [--build-dir build-fuzz] [--seconds 60] [target ...]

New inputs found by a run go to <build-dir>/corpus/<target>/ (the seed corpus under
tests/fuzz/<target>_corpus/ is only read); a crashing input is written to
<build-dir>/artifacts/ and its path printed. Prints one summary line per target and exits
non-zero when a build or any target fails. Reproduce a finding with
    <build-dir>/<target> <artifact>
"""

import argparse
import os
import pathlib
import re
import shutil
import subprocess
import sys
import time

FUZZ_DIR = pathlib.Path(__file__).resolve().parent
REPO = FUZZ_DIR.parent.parent
TARGETS = ("fuzz_chunk_aligner", "fuzz_sim_options", "fuzz_remote_message",
           "fuzz_remote_dispatch")
DONE_LINE = re.compile(r"#(\d+)\s+DONE\s+cov: (\d+) ft: (\d+) corp: (\d+)/(\S+).*exec/s: (\d+)")


def find_tool(name: str) -> str:
    """A build tool from the project's virtual environment if it has one, else from PATH."""
    candidate = REPO / ".venv" / "bin" / name
    if candidate.exists():
        return str(candidate)
    found = shutil.which(name)
    if not found:
        raise RuntimeError(f"{name} not found")
    return found


def build(build_dir: pathlib.Path) -> None:
    """Configures (once) and builds the fuzz targets; raises CalledProcessError on failure."""
    cmake = find_tool("cmake")
    if not (build_dir / "CMakeCache.txt").exists():
        clang = shutil.which("clang++") or shutil.which("clang++-14")
        if not clang:
            raise RuntimeError("clang++ not found (Debian packages clang, libclang-rt-14-dev)")
        subprocess.run([cmake, "-S", str(FUZZ_DIR), "-B", str(build_dir), "-G", "Ninja",
                        f"-DCMAKE_CXX_COMPILER={clang}",
                        f"-DCMAKE_MAKE_PROGRAM={find_tool('ninja')}"],
                       check=True, capture_output=True, text=True)
    subprocess.run([cmake, "--build", str(build_dir), "-j2"], check=True, capture_output=True,
                   text=True)


def run_target(target: str, build_dir: pathlib.Path, seconds: int) -> tuple:
    """Runs one target for `seconds`; returns (passed, figures, details)."""
    corpus = build_dir / "corpus" / target
    artifacts = build_dir / "artifacts"
    corpus.mkdir(parents=True, exist_ok=True)
    artifacts.mkdir(parents=True, exist_ok=True)
    seeds = FUZZ_DIR / f"{target}_corpus"
    env = dict(os.environ)
    env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
    env.setdefault("ASAN_OPTIONS", "abort_on_error=0:detect_leaks=1")
    command = [str(build_dir / target), f"-max_total_time={seconds}", "-timeout=10",
               "-rss_limit_mb=2048", "-print_final_stats=1",
               f"-artifact_prefix={artifacts}/{target}-", str(corpus), str(seeds)]
    started = time.monotonic()
    try:
        result = subprocess.run(command, env=env, capture_output=True, text=True,
                                timeout=seconds + 120)
    except subprocess.TimeoutExpired:
        return False, {"seconds": round(time.monotonic() - started, 1)}, "fuzzer did not end"
    figures = {"seconds": round(time.monotonic() - started, 1)}
    output = result.stderr + result.stdout
    done = DONE_LINE.findall(output)
    if done:
        runs, cov, ft, corp, corp_size, rate = done[-1]
        figures.update(runs=int(runs), cov=int(cov), ft=int(ft), corpus=int(corp),
                       corpus_size=corp_size, exec_per_s=int(rate))
    if result.returncode == 0 and done:
        return True, figures, ""
    written = re.findall(r"Test unit written to (\S+)", output)
    details = "\n".join(output.splitlines()[-40:])
    if written:
        details += "\nreproducer: " + " ".join(written)
        details += f"\nreproduce with: {build_dir / target} {written[-1]}"
    return False, figures, details


def format_figures(figures: dict) -> str:
    return " ".join(f"{key}={value}" for key, value in figures.items())


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build-dir", default=str(REPO / "build-fuzz"))
    parser.add_argument("--seconds", type=int, default=60)
    parser.add_argument("targets", nargs="*", default=list(TARGETS))
    args = parser.parse_args(argv)
    build_dir = pathlib.Path(args.build_dir).resolve()
    try:
        build(build_dir)
    except subprocess.CalledProcessError as error:
        print(f"FAIL fuzz build\n{error.stdout}{error.stderr}")
        return 1
    failed = 0
    for target in args.targets:
        passed, figures, details = run_target(target, build_dir, args.seconds)
        print(f"{'PASS' if passed else 'FAIL'} {target:<22} {format_figures(figures)}", flush=True)
        if not passed:
            failed += 1
            print(details, flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
