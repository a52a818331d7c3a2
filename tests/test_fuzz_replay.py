"""Replays the fuzz corpora through the Python-free core, built without libFuzzer."""

import os
import pathlib
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
FUZZ = ROOT / "fuzz"
SHARED_JSON = ROOT.parent / "shared" / "corpora" / "json-parsing"
TARGETS = ["fuzz_flat_json", "fuzz_checkpoint", "fuzz_windows"]


def _tool(name):
    local = pathlib.Path(sys.executable).parent / name
    return str(local) if local.exists() else shutil.which(name)


@pytest.fixture(scope="module")
def replay_dir():
    cmake = _tool("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    build = ROOT / "build" / "fuzz-replay"
    configure = [cmake, "-S", str(FUZZ), "-B", str(build), "-DCMAKE_BUILD_TYPE=Debug"]
    ninja = _tool("ninja")
    if ninja and not (build / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "-j", str(os.cpu_count() or 2)], check=True, capture_output=True)
    return build


@pytest.mark.parametrize("target", TARGETS)
def test_corpus_replays_cleanly(replay_dir, target):
    inputs = [str(FUZZ / "corpus" / target.removeprefix("fuzz_"))]
    if target == "fuzz_flat_json" and SHARED_JSON.is_dir():
        inputs.append(str(SHARED_JSON))
    result = subprocess.run([str(replay_dir / target), *inputs], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    count = int(result.stdout.split()[1])
    assert count > 0
