"""stats(): its eleven keys and the counters behind them."""

import time

import pytest

from _ravik import NativeStream
from pipeline_helpers import NEVER_MS, STATS_KEYS, Feeder, full_plan, run_closed, wait_for, windowed_plan


def test_a_new_stream_reports_eleven_zeros_in_byte_order():
    s = NativeStream.manual(16, 1, 16)
    try:
        stats = s.stats()
        assert list(stats) == STATS_KEYS == sorted(STATS_KEYS)
        assert all(type(v) is int and v == 0 for v in stats.values())
    finally:
        s.close()


def test_every_call_returns_a_new_dict():
    s = NativeStream.manual(16, NEVER_MS, 16)
    first = s.stats()
    first["ingested"] = 99
    first["extra"] = 1
    s.emit_json({"x": 1})
    second = s.stats()
    assert second is not first
    assert list(second) == STATS_KEYS and second["ingested"] == 1
    s.close()


def test_a_full_queue_drops_and_counts():
    s = NativeStream.manual(16, NEVER_MS, 2)
    for i in range(3):
        s.emit_json({"i": i})
    stats = s.stats()
    assert {k: v for k, v in stats.items() if v} == {"ingested": 3, "dropped": 1}
    s.emit_columns({"i": [3, 4, 5]})
    assert (s.stats()["ingested"], s.stats()["dropped"]) == (6, 4)
    s.close()
    result = s.next_batch(full_plan(select=["i"]), 0)
    assert result == {"i": [0, 1]}


def test_only_non_empty_batches_are_counted():
    s = NativeStream.manual(16, 0, 16)
    try:
        time.sleep(0.02)  # about twenty empty turns
        assert s.stats()["microbatches_emitted"] == 0
        s.emit_json({"x": 1})
        wait_for(lambda: s.stats()["microbatches_emitted"] == 1, what="a cut")
        time.sleep(0.02)
        assert s.stats()["microbatches_emitted"] == 1
    finally:
        s.close()
    assert s.stats()["microbatches_emitted"] == 1  # the final cut was empty


def test_output_counters_follow_returned_dicts_only():
    with Feeder() as f:
        f.feed(full_plan(), {"x": [1, 2, 3, 4], "timestamp": [1, 2, 3, 4]})
        assert (f.stream.stats()["output_batches"], f.stream.stats()["output_rows"]) == (1, 4)
        assert f.pull(full_plan()) is None
        assert f.feed(full_plan(filters=[{"field": "x", "op": "<", "value": 0}]), {"x": [5], "timestamp": [5]}) is None
        assert (f.stream.stats()["output_batches"], f.stream.stats()["output_rows"]) == (1, 4)


def test_duplicate_and_late_counters():
    events = [
        {"id": 1, "timestamp": 100},
        {"id": 1, "timestamp": 200},  # duplicate
        {"id": 2, "timestamp": 50},  # late, dropped
        {"id": 3, "timestamp": 300},
        {"id": 3, "timestamp": 10},  # duplicate before it could be late
        {"id": None, "timestamp": 20},  # late
    ]
    _, s = run_closed(events, full_plan(event_id_field="id"))
    stats = s.stats()
    assert (stats["duplicate_events"], stats["late_events"], stats["seen_event_ids"]) == (2, 2, 3)
    assert (stats["output_batches"], stats["output_rows"]) == (1, 2)


def test_late_events_kept_are_counted_too():
    _, s = run_closed([{"timestamp": 5}, {"timestamp": 4}, {"timestamp": 3}], full_plan(drop_late=False))
    assert s.stats()["late_events"] == 2
    assert s.stats()["output_rows"] == 3


def test_open_windows_rise_and_fall_back_after_the_flush():
    plan = windowed_plan(seconds=1, by="g", watermark_ms=10**6)  # nothing closes
    with Feeder() as f:
        assert f.feed(plan, {"v": [1, 1, 1], "g": ["a", "b", "a"], "timestamp": [100, 200, 1100]}) is None
        assert f.stream.stats()["open_windows"] == 3
        f.stream.close()
        result = f.pull(plan)
        assert (result["window_start"], result["g"]) == ([0, 0, 1000], ["a", "b", "a"])
        stats = f.stream.stats()
        assert (stats["open_windows"], stats["output_batches"], stats["output_rows"]) == (0, 1, 3)


@pytest.mark.parametrize(
    "columns",
    [{"x": [1, 2], "y": [1]}, {"x": [1, 2**70]}],
    ids=["length-mismatch", "cast-error"],
)
def test_a_failed_emit_changes_no_counter(columns):
    s = NativeStream.manual(16, NEVER_MS, 16)
    with pytest.raises((ValueError, RuntimeError)):
        s.emit_columns(columns)
    with pytest.raises(RuntimeError):
        s.emit_json({"x": 2**70})
    assert all(v == 0 for v in s.stats().values())
    s.close()
