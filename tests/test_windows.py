"""Deduplication, event time, lateness and tumbling windows."""

import math
import time

import pytest

from _ravik import NativeStream

from pipeline_helpers import (
    Feeder,
    flt,
    full_plan,
    mean,
    run_closed,
    rows_of,
    window,
    windowed_plan,
)

ORIGIN = 1_700_000_000_000  # an epoch-scale time: sets the window origin


def windows_of(result, *extra):
    return rows_of(result, "window_start", "window_end", *extra)


# --- deduplication -------------------------------------------------------


@pytest.mark.parametrize(
    "ids, kept, seen",
    [
        pytest.param([5, 5.0, "5"], [0], 1, id="int-float-string-are-one-id"),
        pytest.param([True, "true"], [0], 1, id="bool-and-its-text"),
        pytest.param([1234567.0, 1234568.0], [0], 1, id="floats-with-one-six-digit-form"),
        pytest.param([1234567, 1234568.0], [0, 1], 2, id="int-digits-differ-from-float-form"),
        pytest.param(["a", "b", "a", "b", "c"], [0, 1, 4], 3, id="repeats-in-one-batch"),
        pytest.param([None, None, "", ""], [0, 1, 2, 3], 0, id="null-and-empty-disable"),
        pytest.param([7, 7.5, "7.5"], [0, 1], 2, id="float-text"),
    ],
)
def test_dedup_by_text_form(ids, kept, seen):
    events = [{"i": i, "id": v, "timestamp": i} for i, v in enumerate(ids)]
    result, s = run_closed(events, full_plan(event_id_field="id"))
    assert result["i"] == kept
    stats = s.stats()
    assert stats["duplicate_events"] == len(ids) - len(kept)
    assert stats["seen_event_ids"] == seen


def test_rows_without_the_id_field_are_never_deduplicated():
    events = [{"i": i, "timestamp": i} for i in range(3)]
    result, s = run_closed(events, full_plan(event_id_field="id"))
    assert result["i"] == [0, 1, 2]
    assert s.stats()["seen_event_ids"] == 0


def test_ids_are_remembered_across_calls_and_plans():
    with Feeder() as f:
        assert f.feed(full_plan(event_id_field="id"), {"id": [1, 2], "timestamp": [1, 2]})["id"] == [1, 2]
        # A plan without an id field neither checks nor adds ids.
        assert f.feed(full_plan(), {"id": [2, 3], "timestamp": [3, 4]})["id"] == [2, 3]
        assert f.feed(full_plan(event_id_field="id"), {"id": [3, 2, 1], "timestamp": [5, 6, 7]})["id"] == [3]
        stats = f.stream.stats()
        assert (stats["seen_event_ids"], stats["duplicate_events"]) == (3, 2)


def test_id_field_can_be_any_field():
    events = [{"k": "a", "timestamp": 1}, {"k": "a", "timestamp": 2}]
    result, _ = run_closed(events, full_plan(event_id_field="k"))
    assert result["timestamp"] == [1]


def test_a_row_rejected_by_the_filters_leaves_no_id():
    events = [{"id": 7, "x": 0, "timestamp": 1}, {"id": 7, "x": 1, "timestamp": 2}]
    result, s = run_closed(events, full_plan(event_id_field="id", filters=[flt("x", "==", 1)]))
    assert result["x"] == [1]
    assert s.stats()["duplicate_events"] == 0


def test_a_row_dropped_as_late_keeps_its_id():
    events = [{"id": 1, "timestamp": 100}, {"id": 2, "timestamp": 50}, {"id": 2, "timestamp": 200}]
    result, s = run_closed(events, full_plan(event_id_field="id"))
    assert result["id"] == [1]
    stats = s.stats()
    assert (stats["late_events"], stats["duplicate_events"], stats["seen_event_ids"]) == (1, 1, 2)


def test_a_windowed_row_without_a_mean_value_keeps_its_id():
    events = [{"id": 1, "timestamp": 100}, {"id": 1, "v": 5, "timestamp": 200}]
    result, s = run_closed(events, windowed_plan(event_id_field="id"))
    assert result is None  # nothing was added to any window, so nothing to flush
    assert s.stats()["duplicate_events"] == 1


# --- event time and lateness ---------------------------------------------


@pytest.mark.parametrize(
    "plan_args, times, kept, late",
    [
        pytest.param({}, [100, 50], [100], 1, id="earlier-than-max-is-late"),
        pytest.param({}, [100, 100, 101], [100, 100, 101], 0, id="equal-to-max-is-on-time"),
        pytest.param({}, [100, 200, 150, 250], [100, 200, 250], 1, id="late-within-one-batch"),
        pytest.param({"allowed_lateness_ms": 50}, [100, 50, 49], [100, 50], 1, id="lateness-boundary"),
        pytest.param({"allowed_lateness_ms": -100}, [100, 100, 99], [100, 100], 1, id="negative-lateness-is-zero"),
        pytest.param({"watermark_ms": 30}, [100, 70, 69], [100, 70], 1, id="watermark-boundary"),
        pytest.param({"watermark_ms": -30}, [100, 200], [], 2, id="negative-watermark-makes-all-late"),
        pytest.param(
            {"watermark_ms": -30, "allowed_lateness_ms": 30}, [100, 200], [100, 200], 0, id="negative-watermark-offset"
        ),
        pytest.param(
            {"watermark_ms": 30, "allowed_lateness_ms": 20}, [100, 50, 49], [100, 50], 1, id="watermark-and-lateness"
        ),
        pytest.param({"drop_late": False}, [100, 50, 10], [100, 50, 10], 2, id="kept-but-counted"),
    ],
)
def test_lateness(plan_args, times, kept, late):
    result, s = run_closed([{"timestamp": t} for t in times], full_plan(**plan_args))
    assert (result["timestamp"] if result else []) == kept
    assert s.stats()["late_events"] == late


THRESHOLD = -(2**62)  # the lateness test runs only for watermarks above this


@pytest.mark.parametrize(
    "watermark_ms, late",
    [
        pytest.param(1000 - THRESHOLD, 0, id="watermark-at-threshold-no-test"),
        pytest.param(999 - THRESHOLD, 1, id="watermark-just-above-threshold"),
    ],
)
def test_lateness_threshold(watermark_ms, late):
    # After t = 1000 the watermark is 1000 - watermark_ms.
    times = [1000, -5 * 10**18]
    result, s = run_closed([{"timestamp": t} for t in times], full_plan(watermark_ms=watermark_ms))
    assert result["timestamp"] == times[: 2 - late]
    assert s.stats()["late_events"] == late


def test_events_far_below_zero_are_never_late_without_a_watermark():
    # max_event_time itself stays below the threshold.
    times = [-5 * 10**18, -6 * 10**18]
    result, s = run_closed([{"timestamp": t} for t in times], full_plan())
    assert result["timestamp"] == times
    assert s.stats()["late_events"] == 0


def test_watermark_arithmetic_wraps():
    # 10 - (-2**63) wraps to -2**63 + 10, far below the threshold: no test.
    times = [10, 5]
    result, s = run_closed([{"timestamp": t} for t in times], full_plan(watermark_ms=-(2**63)))
    assert result["timestamp"] == times
    assert s.stats()["late_events"] == 0


def test_max_event_time_persists_across_calls():
    with Feeder() as f:
        assert f.feed(full_plan(), {"timestamp": [1000]})["timestamp"] == [1000]
        assert f.feed(full_plan(), {"timestamp": [999, 1000]})["timestamp"] == [1000]
        assert f.stream.stats()["late_events"] == 1


@pytest.mark.parametrize(
    "stamp",
    [
        pytest.param(1_700_000_000_000.0, id="float"),
        pytest.param("1700000000000", id="string"),
        pytest.param(None, id="null"),
        pytest.param(True, id="bool"),
    ],
)
def test_non_integer_time_uses_the_wall_clock(stamp):
    # An event far in the future first, so a wall-clock time is late.
    events = [{"i": 0, "timestamp": 10**16}, {"i": 1, "timestamp": stamp}]
    result, s = run_closed(events, full_plan())
    assert result["i"] == [0]
    assert s.stats()["late_events"] == 1


def test_non_integer_time_opens_a_window_at_the_wall_clock():
    before = int(time.time() * 1000)
    result, _ = run_closed([{"v": 1, "timestamp": 5000.0}], windowed_plan(seconds=10))
    after = int(time.time() * 1000)
    (start, end), = windows_of(result)
    assert before <= start <= after and end == start + 10_000


def test_custom_time_field_and_missing_time_field():
    before = int(time.time() * 1000)
    events = [{"v": 1, "ts": 5000, "timestamp": 1}, {"v": 2, "timestamp": 2}]
    result, s = run_closed(events, windowed_plan(seconds=10, time_field="ts"))
    assert windows_of(result, "count") == [(0, 10_000, 1)]
    # The event without "ts" was timed by the wall clock.
    (start, end, count), = windows_of(s.next_batch(windowed_plan(seconds=10, time_field="ts"), 0), "count")
    assert start >= before and end == start + 10_000 and count == 1


def test_a_window_without_a_mean_passes_rows_through_but_times_them_by_its_field():
    events = [{"ts": 100, "timestamp": 1}, {"ts": 50, "timestamp": 2}, {"ts": 150, "timestamp": 3}]
    result, s = run_closed(events, full_plan(window=window(1, time_field="ts")))
    assert result["ts"] == [100, 150]
    assert s.stats()["open_windows"] == 0


def test_a_mean_without_a_window_passes_rows_through():
    events = [{"v": 1, "timestamp": 1}, {"v": 2, "timestamp": 2}]
    result, s = run_closed(events, full_plan(mean=mean()))
    assert result == {"timestamp": [1, 2], "v": [1, 2]}
    assert s.stats()["open_windows"] == 0


# --- windows ---------------------------------------------------------------


def test_window_rows_and_their_columns():
    events = [
        {"v": 1, "g": "eu", "timestamp": 5000},
        {"v": 2.5, "g": "eu", "timestamp": 6000},
        {"v": 4, "g": "us", "timestamp": 7000},
        {"v": 0, "g": "eu", "timestamp": 15000},
    ]
    result, _ = run_closed(events, windowed_plan(seconds=10, by="g"))
    assert result == {
        "avg": [1.75, 4.0],
        "count": [2, 1],
        "g": ["eu", "us"],
        "window_end": [10000, 10000],
        "window_start": [0, 0],
    }
    assert list(result) == ["avg", "count", "g", "window_end", "window_start"]


def test_windows_close_exactly_at_their_end_and_an_event_at_the_end_opens_the_next():
    events = [{"v": 1, "timestamp": 0}, {"v": 2, "timestamp": 999}, {"v": 10, "timestamp": 1000}]
    result, s = run_closed(events, windowed_plan(seconds=1))
    assert windows_of(result, "avg", "count") == [(0, 1000, 1.5, 2)]
    assert s.stats()["open_windows"] == 1
    # The closed stream's next call has nothing to process: it flushes.
    assert windows_of(s.next_batch(windowed_plan(seconds=1), 0), "avg", "count") == [(1000, 2000, 10.0, 1)]


def test_a_window_stays_open_until_the_bound_reaches_its_end():
    with Feeder() as f:
        plan = windowed_plan(seconds=1)
        assert f.feed(plan, {"v": [1, 2], "timestamp": [0, 999]}) is None
        assert f.stream.stats()["open_windows"] == 1
        assert windows_of(f.feed(plan, {"v": [3], "timestamp": [1000]}), "count") == [(0, 1000, 2)]


def test_closing_bound_subtracts_watermark_and_lateness():
    plan = windowed_plan(seconds=1, watermark_ms=1000, allowed_lateness_ms=500)
    with Feeder() as f:
        assert f.feed(plan, {"v": [1, 2], "timestamp": [500, 2499]}) is None
        assert windows_of(f.feed(plan, {"v": [3], "timestamp": [2500]}), "count") == [(0, 1000, 1)]
        assert f.stream.stats()["open_windows"] == 1  # [2000, 3000) holds 2499 and 2500


def test_empty_calls_still_close_windows_under_a_new_plan():
    with Feeder() as f:
        assert f.feed(windowed_plan(seconds=1, watermark_ms=5000), {"v": [1, 2], "timestamp": [100, 3000]}) is None
        # The stored state is unchanged; only the plan's watermark differs.
        result = f.pull(windowed_plan(seconds=1))
        assert windows_of(result, "count") == [(0, 1000, 1)]


@pytest.mark.parametrize(
    "seconds, times, windows",
    [
        pytest.param(10, [5000, 15000, 25000], [(0, 10000), (10000, 20000)], id="aligned-from-zero"),
        pytest.param(1, [-1500, 2000], [(-2000, -1000)], id="negative-time-floors"),
        pytest.param(1, [-1000, 2000], [(-1000, 0)], id="negative-boundary"),
        pytest.param(1, [-1, 2000], [(-1000, 0)], id="just-below-zero"),
        pytest.param(3, [10**12, 10**12 + 10**6], [(10**12 - 1000, 10**12 + 2000)], id="threshold-aligned-from-zero"),
    ],
)
def test_window_start_contains_the_event(seconds, times, windows):
    # The last time only closes the windows before it.
    result, _ = run_closed([{"v": 1, "timestamp": t} for t in times], windowed_plan(seconds=seconds))
    assert windows_of(result) == windows
    for start, end in windows:
        assert end - start == seconds * 1000


@pytest.mark.parametrize(
    "offset, start",
    [
        pytest.param(-1500, -2000, id="1500-before-origin"),
        pytest.param(-300, -1000, id="300-before-origin"),
        pytest.param(-1000, -1000, id="one-window-before"),
        pytest.param(-1001, -2000, id="just-beyond-one-window-before"),
        pytest.param(999, 0, id="inside-first"),
        pytest.param(2500, 2000, id="after-origin"),
    ],
)
def test_epoch_times_align_to_the_origin(offset, start):
    plan = windowed_plan(seconds=1, drop_late=False)
    with Feeder() as f:
        assert f.feed(plan, {"v": [1], "timestamp": [ORIGIN]}) is None
        second = f.feed(plan, {"v": [1], "timestamp": [ORIGIN + offset]})
        f.stream.close()
        flushed = f.pull(plan)
    emitted = sorted(windows_of(second) if second else []) + sorted(windows_of(flushed))
    expected = {(ORIGIN, ORIGIN + 1000), (ORIGIN + start, ORIGIN + start + 1000)}
    assert sorted(emitted) == sorted(expected)


def test_the_first_event_above_the_threshold_sets_the_origin():
    first = 10**12 + 1
    events = [{"v": 1, "timestamp": 10**12}, {"v": 2, "timestamp": first}, {"v": 3, "timestamp": first + 2999}]
    result, s = run_closed(events, windowed_plan(seconds=3))
    # 10**12 is aligned from zero; 10**12 + 1 is its own window's start.
    assert windows_of(result, "avg") == [(10**12 - 1000, 10**12 + 2000, 1.0)]
    flushed = s.next_batch(windowed_plan(seconds=3), 0)
    assert windows_of(flushed, "avg") == [(first, first + 3000, 2.5)]


def test_an_event_without_a_mean_value_still_sets_the_origin():
    plan = windowed_plan(seconds=1)
    result, _ = run_closed([{"timestamp": ORIGIN}, {"v": 1, "timestamp": ORIGIN + 500}], plan)
    assert windows_of(result) == [(ORIGIN, ORIGIN + 1000)]


def test_a_pass_through_plan_does_not_set_the_origin():
    with Feeder() as f:
        f.feed(full_plan(), {"timestamp": [ORIGIN]})
        f.feed(windowed_plan(seconds=1), {"v": [1], "timestamp": [ORIGIN + 500]})
        f.stream.close()
        assert windows_of(f.pull(windowed_plan(seconds=1))) == [(ORIGIN + 500, ORIGIN + 1500)]


def test_window_keys_sort_byte_wise():
    times = [-3000, -1000, 9000, 10000, 100000]
    events = [{"v": 1, "g": "x", "timestamp": t} for t in times]
    result, s = run_closed(events, windowed_plan(seconds=1, by="g"))
    # "-1000|x" < "-3000|x" < "10000|x" < "9000|x"
    assert [start for start, _ in windows_of(result)] == [-1000, -3000, 10000, 9000]
    assert s.stats()["open_windows"] == 1


def test_groups_of_one_window_sort_byte_wise():
    groups = ["b", "a1", "B", "a", "é", ""]
    events = [{"v": 1, "g": g, "timestamp": 100} for g in groups] + [{"v": 1, "g": "z", "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1, by="g"))
    assert result["g"] == ["", "B", "a", "a1", "b", "é"]


@pytest.mark.parametrize(
    "values, groups",
    [
        pytest.param([2, 2.0, "2"], ["2"], id="numbers-and-text-share-a-group"),
        pytest.param([True, None], ["", "true"], id="bool-and-null"),
        pytest.param([0.1, 0.1000001], ["0.1"], id="six-digit-floats"),
    ],
)
def test_group_is_the_text_form(values, groups):
    events = [{"v": 1, "g": g, "timestamp": 100} for g in values] + [{"v": 1, "g": "z", "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1, by="g"))
    assert result["g"] == groups
    assert sum(result["count"]) == len(values)


def test_missing_group_field_is_the_empty_group():
    events = [{"v": 1, "timestamp": 100}, {"v": 3, "g": "a", "timestamp": 200}, {"v": 5, "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1, by="g"))
    assert rows_of(result, "g", "avg") == [("", 1.0), ("a", 3.0)]


@pytest.mark.parametrize(
    "values, avg, count",
    [
        pytest.param([1, 2], 1.5, 2, id="int-mean-is-float"),
        pytest.param([1, "5", True, None, 3.0], 2.0, 2, id="non-numbers-skipped"),
        pytest.param([2**53, 1], float(2**53) / 2, 2, id="large-int-as-double"),
        pytest.param([math.inf, 1], math.inf, 2, id="infinity"),
    ],
)
def test_mean_values(values, avg, count):
    events = [{"v": v, "timestamp": 100 + i} for i, v in enumerate(values)] + [{"v": 0, "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1))
    assert rows_of(result, "avg", "count") == [(avg, count)]


@pytest.mark.parametrize("values", [[math.nan], [math.nan, math.nan], [1.0, math.nan]], ids=["one", "all", "mixed"])
def test_nan_values_give_a_nan_mean(values):
    events = [{"v": v, "timestamp": 100 + i} for i, v in enumerate(values)] + [{"v": 0, "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1))
    (avg, count), = rows_of(result, "avg", "count")
    assert math.isnan(avg) and count == len(values)


def test_rows_without_a_mean_value_open_no_window():
    events = [{"timestamp": 100}, {"v": "1", "timestamp": 200}, {"v": None, "timestamp": 300}]
    result, s = run_closed(events, windowed_plan(seconds=1))
    assert result is None
    assert s.stats()["open_windows"] == 0


def test_alias_count_holds_the_count():
    events = [{"v": 10, "timestamp": 100}, {"v": 20, "timestamp": 200}, {"v": 0, "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1, alias="count"))
    assert result == {"count": [2], "window_end": [1000], "window_start": [0]}
    assert type(result["count"][0]) is int


def test_by_window_start_replaces_the_start_with_the_group():
    events = [{"v": 1, "g": "eu", "timestamp": 100}, {"v": 1, "g": "eu", "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1, by="window_start"))
    # The group-by field is window_start itself, whose value is the event's
    # "window_start" field: absent here, so the group is empty.
    assert result["window_start"] == [""]
    events = [{"v": 1, "window_start": "eu", "timestamp": 100}, {"v": 1, "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1, by="window_start"))
    assert result == {"avg": [1.0], "count": [1], "window_end": [1000], "window_start": ["eu"]}


def test_late_events_reopen_a_closed_window_when_kept():
    plan = windowed_plan(seconds=1, drop_late=False)
    with Feeder() as f:
        assert windows_of(f.feed(plan, {"v": [1, 3], "timestamp": [500, 1500]}), "avg", "count") == [(0, 1000, 1.0, 1)]
        # Late for the window already emitted: it opens anew and, being
        # behind the bound, is emitted again in the same call.
        assert windows_of(f.feed(plan, {"v": [7, 9], "timestamp": [600, 700]}), "avg", "count") == [
            (0, 1000, 8.0, 2)
        ]
        assert f.stream.stats()["late_events"] == 2
        assert f.stream.stats()["open_windows"] == 1


def test_late_events_are_dropped_by_default():
    plan = windowed_plan(seconds=1)
    with Feeder() as f:
        assert windows_of(f.feed(plan, {"v": [1, 3], "timestamp": [500, 1500]}), "count") == [(0, 1000, 1)]
        assert f.feed(plan, {"v": [7], "timestamp": [600]}) is None
        stats = f.stream.stats()
        assert (stats["late_events"], stats["open_windows"]) == (1, 1)


def test_a_window_keeps_its_key_and_takes_the_current_length():
    with Feeder() as f:
        assert f.feed(windowed_plan(seconds=10), {"v": [1], "timestamp": [1000]}) is None
        # Start 0 under 5-second windows too: same key, end recomputed.
        result = f.feed(windowed_plan(seconds=5), {"v": [3, 0], "timestamp": [2000, 5000]})
        assert windows_of(result, "avg", "count") == [(0, 5000, 2.0, 2)]


def test_flush_on_a_closed_stream_then_none():
    events = [{"v": v, "g": g, "timestamp": t} for v, g, t in [(1, "b", 100), (2, "a", 200), (3, "a", 1100)]]
    s_plan = windowed_plan(seconds=10, by="g")
    result, s = run_closed(events, s_plan)
    assert rows_of(result, "g", "avg", "count") == [("a", 2.5, 2), ("b", 1.0, 1)]
    assert s.stats()["open_windows"] == 0
    assert s.next_batch(s_plan, 0) is None


def test_a_pass_through_plan_flushes_nothing_and_keeps_windows_open():
    plan = windowed_plan(seconds=10)
    with Feeder() as f:
        assert f.feed(plan, {"v": [1, 2], "timestamp": [100, 200]}) is None
        f.stream.close()
        assert f.pull(full_plan()) is None
        assert f.pull(full_plan(window=window(10))) is None
        assert f.stream.stats()["open_windows"] == 1
        assert windows_of(f.pull(plan), "avg") == [(0, 10000, 1.5)]
        assert f.pull(plan) is None


def test_a_call_with_output_on_a_closed_stream_does_not_flush():
    events = [{"v": 1, "timestamp": 100}, {"v": 2, "timestamp": 1000}]
    result, s = run_closed(events, windowed_plan(seconds=1))
    assert windows_of(result) == [(0, 1000)]
    assert s.stats()["open_windows"] == 1


I64_MIN, I64_MAX = -(2**63), 2**63 - 1


@pytest.mark.parametrize("path", ["next_batch", "aggregate_columns"])
@pytest.mark.parametrize("t", [I64_MIN, I64_MIN + 1, -1, 0, I64_MAX - 1, I64_MAX])
def test_window_bounds_are_clamped_at_the_ends_of_the_range(path, t):
    # 7-second windows do not divide the range: the lowest window starts
    # below it and the highest ends above it; both bounds clamp, so the
    # window still holds t (at the very top, t = 2**63 - 1 equals the end).
    plan = windowed_plan(seconds=7, drop_late=False)
    if path == "next_batch":
        result, _ = run_closed([{"timestamp": t, "v": 1.0}], plan)
    else:
        result = NativeStream.manual(1, 0, 1).aggregate_columns({"timestamp": [t], "v": [1.0]}, plan)
    [(start, end)] = windows_of(result)
    assert start <= t < end or t == end == I64_MAX
    assert end - start <= 7000 and (start == I64_MIN or end == I64_MAX or end - start == 7000)
