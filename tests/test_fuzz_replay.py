"""Replays the fuzz corpora through the Python-free core, built without libFuzzer
(under AddressSanitizer + UBSan when the suite itself runs under them)."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FUZZ = ROOT / "fuzz"
TARGETS = ["fuzz_flat_json", "fuzz_checkpoint", "fuzz_windows", "fuzz_columnar"]
SANITIZER = os.environ.get("RAVIK_SANITIZER", "")
SANITIZE_FLAGS = "-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"


def _shared_json_corpus():
    # Beside the project, or beside the directory that holds its worktrees.
    for base in (ROOT.parent, ROOT.parent.parent):
        candidate = base / "shared" / "corpora" / "json-parsing"
        if candidate.is_dir():
            return candidate
    return None


SHARED_JSON = _shared_json_corpus()


def _tool(name):
    local = pathlib.Path(sys.executable).parent / name
    return str(local) if local.exists() else shutil.which(name)


def _plain_env():
    """The environment without the sanitizer runtime that the suite's own
    interpreter may have preloaded: the compiler and the replay binaries
    bring their own (or none)."""
    env = dict(os.environ)
    env.pop("LD_PRELOAD", None)
    return env


@pytest.fixture(scope="module")
def replay_dir():
    cmake = _tool("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    asan = SANITIZER == "address"
    build = ROOT / "build" / ("fuzz-replay-address" if asan else "fuzz-replay")
    configure = [cmake, "-S", str(FUZZ), "-B", str(build), "-DCMAKE_BUILD_TYPE=Debug"]
    if asan:
        configure += [f"-DCMAKE_CXX_FLAGS={SANITIZE_FLAGS}", f"-DCMAKE_EXE_LINKER_FLAGS={SANITIZE_FLAGS}"]
    ninja = _tool("ninja")
    if ninja and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    env = _plain_env()
    subprocess.run(configure, check=True, capture_output=True, env=env)
    subprocess.run([cmake, "--build", str(build), "-j", str(os.cpu_count() or 2)], check=True, capture_output=True,
                   env=env)
    return build


@pytest.mark.parametrize("target", TARGETS)
def test_corpus_replays_cleanly(replay_dir, target):
    inputs = [str(FUZZ / "corpus" / target.removeprefix("fuzz_"))]
    if target == "fuzz_flat_json" and SHARED_JSON is not None:
        inputs.append(str(SHARED_JSON))
    env = _plain_env()
    if SANITIZER == "address":
        # The replay binaries are small and exit normally: leaks are checked too.
        env["ASAN_OPTIONS"] = "abort_on_error=1:detect_leaks=1:strict_string_checks=1"
    result = subprocess.run([str(replay_dir / target), *inputs], capture_output=True, text=True, timeout=300,
                            env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    files = sum(1 for top in inputs for path in pathlib.Path(top).rglob("*") if path.is_file())
    assert files > 0 and result.stdout.split() == ["replayed", str(files), "inputs"]
