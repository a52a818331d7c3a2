"""Replays the fuzz corpora through the Python-free core, built without libFuzzer
(under AddressSanitizer + UBSan when the suite itself runs under them)."""

import pathlib
import subprocess

import pytest

from native_build import ROOT, SANITIZER, build, plain_env

FUZZ = ROOT / "fuzz"
TARGETS = ["fuzz_flat_json", "fuzz_checkpoint", "fuzz_windows", "fuzz_columnar", "fuzz_sliced"]


def _shared_json_corpus():
    # Beside the project, or beside the directory that holds its worktrees.
    for base in (ROOT.parent, ROOT.parent.parent):
        candidate = base / "shared" / "corpora" / "json-parsing"
        if candidate.is_dir():
            return candidate
    return None


SHARED_JSON = _shared_json_corpus()


@pytest.fixture(scope="module")
def replay_dir():
    return build(FUZZ, "fuzz-replay")


@pytest.mark.parametrize("target", TARGETS)
def test_corpus_replays_cleanly(replay_dir, target):
    inputs = [str(FUZZ / "corpus" / target.removeprefix("fuzz_"))]
    if target == "fuzz_flat_json" and SHARED_JSON is not None:
        inputs.append(str(SHARED_JSON))
    env = plain_env()
    if SANITIZER == "address":
        # The replay binaries are small and exit normally: leaks are checked too.
        env["ASAN_OPTIONS"] = "abort_on_error=1:detect_leaks=1:strict_string_checks=1"
    result = subprocess.run([str(replay_dir / target), *inputs], capture_output=True, text=True, timeout=300,
                            env=env)
    assert result.returncode == 0, result.stderr[-2000:]
    files = sum(1 for top in inputs for path in pathlib.Path(top).rglob("*") if path.is_file())
    assert files > 0 and result.stdout.split() == ["replayed", str(files), "inputs"]
