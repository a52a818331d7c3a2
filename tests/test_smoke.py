import os
import pathlib

import pytest

import _ravik

pytestmark = pytest.mark.concurrency  # emit, worker cut, close and pull across two threads

SANITIZER = os.environ.get("RAVIK_SANITIZER", "")


def test_manual_stream_round_trip():
    s = _ravik.NativeStream.manual(64, 0, 1024)
    s.emit_json({"a": 1, "timestamp": 5})
    s.close()
    plan = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
            "allowed_lateness_ms": None, "event_id_field": None, "drop_late": None}
    assert s.next_batch(plan, 0) == {"a": [1], "timestamp": [5]}


@pytest.mark.skipif(not SANITIZER, reason="checks the sanitizer runs of scripts/sanitize.sh")
def test_sanitizer_run_uses_the_instrumented_extension():
    """A sanitizer run must not pass by testing an uninstrumented build."""
    runtime, entry = {"address": ("libasan.so", b"__asan_init"), "thread": ("libtsan.so", b"__tsan_init")}[SANITIZER]
    assert runtime in pathlib.Path("/proc/self/maps").read_text()
    assert entry in pathlib.Path(_ravik.__file__).read_bytes()
