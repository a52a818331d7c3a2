"""The stream engine's C++ tests (tests/engine), built and run without Python:
under AddressSanitizer + UBSan or ThreadSanitizer when the suite runs under one."""

import subprocess

import pytest

from native_build import ROOT, SANITIZER, build, plain_env


@pytest.mark.concurrency
def test_engine_tests_pass():
    directory = build(ROOT / "tests" / "engine", "engine-tests", sanitizers=("address", "thread"))
    env = plain_env()
    if SANITIZER == "address":
        env["ASAN_OPTIONS"] = "abort_on_error=1:detect_leaks=1:strict_string_checks=1"
    elif SANITIZER == "thread":
        env["TSAN_OPTIONS"] = "halt_on_error=1:second_deadlock_stack=1"
    result = subprocess.run([str(directory / "engine_tests")], capture_output=True, text=True, timeout=300, env=env)
    assert result.returncode == 0, result.stdout + result.stderr[-4000:]
    assert "FAIL" not in result.stdout and result.stdout.count("ok ") >= 11
