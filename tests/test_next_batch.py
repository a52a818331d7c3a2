"""next_batch: the single wait, taking every ready batch, flushing on a
closed stream, argument checks and the output counters."""

import time
from collections import OrderedDict

import pytest

from _ravik import NativeStream
from pipeline_helpers import (
    BIG,
    NEVER_MS,
    Feeder,
    flt,
    full_plan,
    run_script,
    wait_for,
    windowed_plan,
)


def test_an_empty_open_stream_returns_none_after_the_timeout():
    s = NativeStream.manual(16, 1, 16)
    try:
        start = time.monotonic()
        assert s.next_batch(full_plan(), 50) is None
        assert time.monotonic() - start >= 0.045
    finally:
        s.close()


def test_timeout_zero_takes_only_what_is_ready():
    s = NativeStream.manual(16, NEVER_MS, 16)
    s.emit_json({"x": 1, "timestamp": 1})
    assert s.next_batch(full_plan(), 0) is None  # queued, but never cut while open
    assert s.stats()["ingested"] == 1
    s.close()  # the final cut
    assert s.next_batch(full_plan(), 0) == {"timestamp": [1], "x": [1]}


def test_the_wait_ends_at_the_cut():
    s = NativeStream.manual(16, 200, 16)
    try:
        s.emit_json({"x": 1, "timestamp": 1})
        start = time.monotonic()
        assert s.next_batch(full_plan(), 60_000) == {"timestamp": [1], "x": [1]}
        assert time.monotonic() - start < 30
    finally:
        s.close()


@pytest.mark.parametrize(
    "timeout_ms",
    [
        pytest.param(2**64 - 1, id="uint64-max"),
        pytest.param(2**63 // 10**6, id="largest-without-saturation"),
        pytest.param(2**63 // 10**6 + 1, id="smallest-saturated"),
        pytest.param(10**15, id="far-future"),
    ],
)
def test_huge_timeouts_wait_for_the_cut(timeout_ms):
    # In a child process: a wait that never ended would hold the
    # interpreter lock forever.
    out = run_script(
        f"""
        s = NativeStream.manual(16, 200, 16)
        s.emit_json({{"x": 1, "timestamp": 1}})
        plan = dict(filters=[], select=None, window=None, mean=None, watermark_ms=None,
                    allowed_lateness_ms=None, event_id_field=None, drop_late=None)
        print(s.next_batch(plan, {timeout_ms}))
        s.close()
        """
    )
    assert out.strip() == "{'timestamp': [1], 'x': [1]}"


def test_a_closed_stream_never_waits():
    out = run_script(
        """
        s = NativeStream.manual(16, 1, 16)
        s.close()
        plan = dict(filters=[], select=None, window=None, mean=None, watermark_ms=None,
                    allowed_lateness_ms=None, event_id_field=None, drop_late=None)
        print(s.next_batch(plan, 2**64 - 1), s.next_batch(plan, 2**64 - 1))
        """
    )
    assert out.strip() == "None None"


def test_all_ready_batches_are_taken_at_once_in_cut_order():
    s = NativeStream.manual(2, 0, BIG)
    try:
        s.emit_columns({"timestamp": list(range(7))})
        wait_for(lambda: s.stats()["microbatches_emitted"] == 4, what="four cuts")
        result = s.next_batch(full_plan(), 0)
        assert result == {"timestamp": [0, 1, 2, 3, 4, 5, 6]}
        stats = s.stats()
        assert (stats["output_batches"], stats["output_rows"]) == (1, 7)
        assert s.next_batch(full_plan(), 0) is None
    finally:
        s.close()


def test_batches_are_processed_together():
    # Two rows with one id in different batches: a duplicate within one call.
    s = NativeStream.manual(1, 0, BIG)
    try:
        s.emit_columns({"id": [1, 1], "timestamp": [1, 2]})
        wait_for(lambda: s.stats()["microbatches_emitted"] == 2, what="two cuts")
        assert s.next_batch(full_plan(event_id_field="id"), 0) == {"id": [1], "timestamp": [1]}
        assert s.stats()["duplicate_events"] == 1
    finally:
        s.close()


def test_the_final_cut_takes_everything_queued():
    s = NativeStream.manual(2, NEVER_MS, BIG)
    s.emit_columns({"timestamp": [1, 2, 3]})
    s.close()
    assert s.next_batch(full_plan(), 0) == {"timestamp": [1, 2, 3]}
    assert s.next_batch(full_plan(), 0) is None


def test_rejected_rows_give_none_and_leave_the_output_counters():
    with Feeder() as f:
        assert f.feed(full_plan(filters=[flt("x", ">", 5)]), {"x": [1, 2], "timestamp": [1, 2]}) is None
        stats = f.stream.stats()
        assert (stats["output_batches"], stats["output_rows"]) == (0, 0)
        assert f.feed(full_plan(), {"x": [3, 4, 5, 6], "timestamp": [3, 4, 5, 6]})["x"] == [3, 4, 5, 6]
        stats = f.stream.stats()
        assert (stats["output_batches"], stats["output_rows"]) == (1, 4)


@pytest.mark.parametrize(
    "bad_plan, error",
    [
        pytest.param({"filters": []}, KeyError, id="missing-keys"),
        pytest.param(full_plan(window={"seconds": 0, "by": None, "time_field": "timestamp"}), ValueError,
                     id="zero-window"),
        pytest.param(full_plan(watermark_ms=1.5), RuntimeError, id="cast-error"),
        pytest.param(full_plan(filters=None), TypeError, id="filters-none"),
    ],
)
def test_a_bad_plan_raises_and_a_later_call_gets_the_batches(bad_plan, error):
    s = NativeStream.manual(BIG, 0, BIG)
    try:
        s.emit_columns({"x": [1, 2], "timestamp": [1, 2]})
        wait_for(lambda: s.stats()["microbatches_emitted"] == 1, what="a cut")
        with pytest.raises(error):
            s.next_batch(bad_plan, 0)
        assert s.next_batch(full_plan(), 0) == {"timestamp": [1, 2], "x": [1, 2]}
    finally:
        s.close()


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param(({}, 1.5), {}, id="float-timeout"),
        pytest.param((full_plan(), 1.5), {}, id="float-timeout-good-plan"),
        pytest.param((full_plan(), -1), {}, id="negative-timeout"),
        pytest.param((full_plan(), 2**64), {}, id="timeout-beyond-uint64"),
        pytest.param((full_plan(), None), {}, id="none-timeout"),
        pytest.param(([("filters", [])], 0), {}, id="plan-not-a-dict"),
        pytest.param((full_plan(),), {}, id="timeout-missing"),
        pytest.param((), {"plan": full_plan(), "timeout": 0}, id="wrong-keyword"),
    ],
)
def test_argument_types(args, kwargs):
    s = NativeStream.manual(16, 1, 16)
    s.close()
    with pytest.raises(TypeError):
        s.next_batch(*args, **kwargs)


def test_keywords_and_dict_subclasses_are_accepted():
    s = NativeStream.manual(16, NEVER_MS, 16)
    s.emit_json({"x": 1, "timestamp": 1})
    s.close()
    assert s.next_batch(plan=OrderedDict(full_plan()), timeout_ms=0) == {"timestamp": [1], "x": [1]}


def test_closed_stream_flushes_once_nothing_else_comes_out():
    plan = windowed_plan(seconds=10, by="g")
    with Feeder() as f:
        assert f.feed(plan, {"v": [1, 2, 3], "g": ["b", "a", "a"], "timestamp": [1, 2, 3]}) is None
        f.stream.close()
        result = f.pull(plan)
        assert result == {
            "avg": [2.5, 1.0], "count": [2, 1], "g": ["a", "b"], "window_end": [10000] * 2, "window_start": [0] * 2,
        }
        assert f.stream.stats()["open_windows"] == 0
        assert f.pull(plan) is None
        stats = f.stream.stats()
        assert (stats["output_batches"], stats["output_rows"]) == (1, 2)


def test_the_final_batch_is_processed_before_any_flush():
    plan = windowed_plan(seconds=1)
    s = NativeStream.manual(BIG, NEVER_MS, BIG)
    s.emit_columns({"v": [1, 2], "timestamp": [100, 1000]})
    s.close()
    first = s.next_batch(plan, 0)
    assert first["window_start"] == [0]  # closed by the watermark, no flush yet
    assert s.next_batch(plan, 0)["window_start"] == [1000]  # flushed
    assert s.next_batch(plan, 0) is None


def test_flush_applies_the_select_list():
    plan = windowed_plan(seconds=1, select=["count"])
    s = NativeStream.manual(BIG, NEVER_MS, BIG)
    s.emit_columns({"v": [1], "timestamp": [1]})
    s.close()
    assert s.next_batch(plan, 0) == {"count": [1]}
