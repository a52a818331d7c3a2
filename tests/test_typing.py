"""The type information: mypy --strict on the examples and the package, and the stubs against the module."""

import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is installed by scripts/bootstrap.sh (test dependencies)")

ROOT = Path(__file__).resolve().parent.parent
EXAMPLES = sorted(str(p) for p in (ROOT / "examples").glob("*.py"))


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    cache = tmp_path_factory.mktemp("mypy-cache")

    def run(*args, cwd):
        return subprocess.run(
            [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir", str(cache), *args],
            capture_output=True, text=True, cwd=cwd, timeout=300, check=False)

    return run


def test_examples_pass_mypy_strict(mypy, tmp_path):
    assert len(EXAMPLES) >= 3
    done = mypy(*EXAMPLES, cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_installed_package_and_stubs_pass_mypy_strict(mypy, tmp_path):
    # Run from elsewhere, so that what is checked is what was installed.
    done = mypy("-p", "ravik", "-p", "_ravik", cwd=tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "Success: no issues found in" in done.stdout


MISUSES = textwrap.dedent("""\
    import ravik

    s = ravik.NativeStream.manual(1, 1, 1)
    s.emit_json(event={"a": 1})
    print(s.next_batch(ravik.plan(), 10)["a"])
    s.next_batch({"filters": []}, 10)
    ravik.plan(windw_seconds=10)
    ravik.plan(window_seconds="10")
    n: str = s.stats()["ingested"]
    s.stats()["ingestd"]
    s.save_checkpoint(3)
    ravik.NativeStream.udp("127.0.0.1", 1.5, 1, 1, 1)
""")


def test_stubs_catch_misuse(mypy, tmp_path):
    (tmp_path / "misuse.py").write_text(MISUSES)
    done = mypy("misuse.py", cwd=tmp_path)
    assert done.returncode == 1
    errors = {int(line.split(":")[1]) for line in done.stdout.splitlines() if ": error:" in line}
    # Every line from the fourth on is one mistake the checker must see:
    # keyword for a positional-only parameter, a possibly-None result, a
    # plan missing keys, a misspelt option, a wrong option type, wrong and
    # unknown stats keys, a wrong path type, a float for an integer.
    assert errors == set(range(4, MISUSES.count("\n") + 1)), done.stdout


def test_stubs_match_the_module_at_run_time(tmp_path):
    allowlist = tmp_path / "allowlist.txt"
    # The binding layer gives the class its own metaclass and a constructor
    # that only raises; the stubs declare neither on purpose.
    allowlist.write_text("_ravik.NativeStream\n_ravik.NativeStream.__init__\n")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "_ravik", "--allowlist", str(allowlist)],
                          capture_output=True, text=True, cwd=tmp_path, timeout=300, check=False)
    assert done.returncode == 0, done.stdout + done.stderr
