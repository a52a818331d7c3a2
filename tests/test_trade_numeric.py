"""NativeStream.aggregate_trade_numeric: per (window, symbol) trade counts and averages."""

import math
import threading
import time
import tracemalloc

import numpy as np
import pytest

import _ravik

KEYS = ["window_start", "window_end", "symbol_id", "avg_value", "count"]
I64_MIN = -(2**63)
I64_MAX = 2**63 - 1


def clamp64(v):
    return max(I64_MIN, min(I64_MAX, v))


def bounds(q, window_ms):
    """Start and end of window number q, clamped to the 64-bit range."""
    return clamp64(q * window_ms), clamp64(q * window_ms + window_ms)


def reference(timestamps, is_trade, symbol_id, values, window_ms):
    """Plain-Python aggregation with the documented semantics."""
    groups = {}
    for t, flag, sym, v in zip(timestamps, is_trade, symbol_id, values):
        if flag == 0:
            continue
        q = int(t) // window_ms
        total, count = groups.get((q, int(sym)), (0.0, 0))
        groups[(q, int(sym))] = (total + float(v), count + 1)
    result = {key: [] for key in KEYS}
    for (q, sym), (total, count) in sorted(groups.items()):
        start, end = bounds(q, window_ms)
        result["window_start"].append(start)
        result["window_end"].append(end)
        result["symbol_id"].append(sym)
        result["avg_value"].append(total / count)
        result["count"].append(count)
    return result


def numpy_reference(timestamps, is_trade, symbol_id, values, window_ms):
    """Vectorised reference; sums accumulate in input order (bincount), as the method's do."""
    trades = is_trade != 0
    starts = timestamps[trades] // window_ms  # window numbers; bounds at the end
    symbols = symbol_id[trades]
    vals = values[trades]
    order = np.lexsort((symbols, starts))
    s, y = starts[order], symbols[order]
    change = np.ones(len(order), dtype=bool)
    change[1:] = (s[1:] != s[:-1]) | (y[1:] != y[:-1])
    group_of_sorted = np.cumsum(change) - 1
    group = np.empty(len(order), dtype=np.int64)
    group[order] = group_of_sorted
    counts = np.bincount(group)
    sums = np.bincount(group, weights=vals)
    first = np.flatnonzero(change)
    edges = [bounds(q, window_ms) for q in s[first].tolist()]
    return {
        "window_start": [e[0] for e in edges],
        "window_end": [e[1] for e in edges],
        "symbol_id": y[first].tolist(),
        "avg_value": (sums / counts).tolist(),
        "count": counts.tolist(),
    }


def as_arrays(timestamps, is_trade, symbol_id, values):
    return (
        np.asarray(timestamps, dtype=np.int64),
        np.asarray(is_trade, dtype=np.uint8),
        np.asarray(symbol_id, dtype=np.int64),
        np.asarray(values, dtype=np.float64),
    )


def counters(stream):
    return stream.stats()


@pytest.fixture
def stream():
    s = _ravik.NativeStream.manual(64, 5, 1024)
    yield s
    s.close()


def test_worked_example(stream):
    before = counters(stream)
    result = stream.aggregate_trade_numeric(
        *as_arrays([1500, 1700, 2100], [1, 1, 1], [7, 7, 7], [1.0, 2.0, 4.0]), 1000
    )
    assert result == {
        "window_start": [1000, 2000],
        "window_end": [2000, 3000],
        "symbol_id": [7, 7],
        "avg_value": [1.5, 4.0],
        "count": [2, 1],
    }
    assert list(result) == KEYS
    assert all(type(result[k]) is list for k in KEYS)
    assert [type(x) for x in result["avg_value"]] == [float, float]
    assert [type(x) for x in result["count"]] == [int, int]
    after = counters(stream)
    assert after["ingested"] == before["ingested"] + 3
    assert after["output_batches"] == before["output_batches"] + 1
    assert after["output_rows"] == before["output_rows"] + 2


@pytest.mark.parametrize(
    "is_trade, expected_groups",
    [
        pytest.param([], 0, id="empty-arrays"),
        pytest.param([0, 0, 0, 0], 0, id="no-trades"),
        pytest.param([0, 2, 0, 255], 2, id="any-nonzero-flag-is-a-trade"),
    ],
)
def test_counters_count_every_row(stream, is_trade, expected_groups):
    n = len(is_trade)
    ts = [0, 5000, 10000, 15000][:n]
    before = counters(stream)
    result = stream.aggregate_trade_numeric(*as_arrays(ts, is_trade, [1] * n, [1.0] * n), 5000)
    assert list(result) == KEYS
    assert len(result["count"]) == expected_groups
    assert all(len(result[k]) == expected_groups for k in KEYS)
    after = counters(stream)
    assert after["ingested"] == before["ingested"] + n
    assert after["output_batches"] == before["output_batches"] + 1
    assert after["output_rows"] == before["output_rows"] + expected_groups
    unchanged = set(before) - {"ingested", "output_batches", "output_rows"}
    assert {k: after[k] for k in unchanged} == {k: before[k] for k in unchanged}


def test_groups_ordered_by_window_then_symbol(stream):
    ts = [2500, 10, 1999, 2000, 700, 1500, -3]
    sy = [3, 9, 3, 1, 4, 3, 9]
    va = [1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0]
    result = stream.aggregate_trade_numeric(*as_arrays(ts, [1] * 7, sy, va), 1000)
    assert list(zip(result["window_start"], result["symbol_id"], result["count"])) == [
        (-1000, 9, 1),
        (0, 4, 1),
        (0, 9, 1),
        (1000, 3, 2),
        (2000, 1, 1),
        (2000, 3, 1),
    ]
    assert result["avg_value"][3] == 4.5


@pytest.mark.parametrize(
    "t, start",
    [
        pytest.param(-1, -1000, id="minus-1"),
        pytest.param(-1000, -1000, id="minus-1000"),
        pytest.param(-1500, -2000, id="minus-1500"),
        pytest.param(999, 0, id="999"),
        pytest.param(1000, 1000, id="1000"),
    ],
)
def test_window_start_is_floor_aligned(stream, t, start):
    result = stream.aggregate_trade_numeric(*as_arrays([t], [1], [0], [1.0]), 1000)
    assert result["window_start"] == [start]
    assert result["window_end"] == [start + 1000]


def test_symbols_are_kept_exactly(stream):
    symbols = [0, 1048576, -1, 1048575, I64_MIN, I64_MAX]
    result = stream.aggregate_trade_numeric(*as_arrays([0] * 6, [1] * 6, symbols, [1.0] * 6), 10)
    assert result["symbol_id"] == sorted(symbols)
    assert result["count"] == [1] * 6


def test_windows_at_the_ends_of_the_64_bit_range(stream):
    # With 3 ms windows the lowest times lie in a window starting below the
    # 64-bit range and the highest in one ending above it: both bounds are
    # clamped, so each window still holds its times.
    ts = [I64_MIN, I64_MIN + 1, I64_MAX, I64_MAX - 1, 0]
    args = (ts, [1] * 5, [5] * 5, [1.0, 2.0, 3.0, 4.0, 5.0])
    result = stream.aggregate_trade_numeric(*as_arrays(*args), 3)
    assert result == reference(*args, 3)
    assert result["window_start"] == [I64_MIN, 0, I64_MAX - 1]
    assert result["window_end"] == [I64_MIN + 2, 3, I64_MAX]


def test_nan_value_makes_its_group_nan(stream):
    result = stream.aggregate_trade_numeric(
        *as_arrays([0, 1, 2, 3], [1, 1, 1, 1], [1, 1, 2, 2], [1.0, math.nan, 2.0, 4.0]), 100
    )
    assert math.isnan(result["avg_value"][0])
    assert result["avg_value"][1] == 3.0
    assert result["count"] == [2, 2]


def test_infinities_follow_float_arithmetic(stream):
    result = stream.aggregate_trade_numeric(
        *as_arrays([0, 1, 2, 3], [1] * 4, [1, 1, 2, 2], [math.inf, 1.0, math.inf, -math.inf]), 100
    )
    assert result["avg_value"][0] == math.inf
    assert math.isnan(result["avg_value"][1])


def test_processing_state_is_untouched(stream):
    stream.emit_columns({"timestamp": [1000, 2000], "id": ["a", "b"], "v": [1.0, 2.0]})
    plan = {
        "filters": [],
        "select": None,
        "window": {"seconds": 10, "by": None, "time_field": "timestamp"},
        "mean": {"field": "v", "alias": "avg"},
        "watermark_ms": None,
        "allowed_lateness_ms": None,
        "event_id_field": "id",
        "drop_late": None,
    }
    deadline = time.monotonic() + 10
    while stream.stats()["open_windows"] == 0:
        assert time.monotonic() < deadline, "batch never processed"
        assert stream.next_batch(plan, 50) is None
    before = stream.stats()
    stream.aggregate_trade_numeric(*as_arrays([5, 25000], [1, 1], [1, 2], [1.0, 2.0]), 1000)
    after = stream.stats()
    assert after["open_windows"] == before["open_windows"] == 1
    assert after["seen_event_ids"] == before["seen_event_ids"] == 2
    assert after["late_events"] == before["late_events"]


def test_works_on_a_closed_stream(stream):
    stream.close()
    result = stream.aggregate_trade_numeric(*as_arrays([10], [1], [3], [2.5]), 100)
    assert result == {"window_start": [0], "window_end": [100], "symbol_id": [3], "avg_value": [2.5], "count": [1]}
    assert stream.stats()["ingested"] == 1


GOOD = ([1, 2, 3], [1, 1, 1], [1, 1, 1], [1.0, 2.0, 3.0])


def with_arg(position, value):
    args = [np.asarray(a) for a in as_arrays(*GOOD)]
    args[position] = value
    return args


@pytest.mark.parametrize(
    "args, window_ms, message",
    [
        pytest.param(with_arg(3, np.ones((3, 1))), 1000, "numeric columns must be one-dimensional", id="values-2d"),
        pytest.param(with_arg(0, np.ones((1, 3), np.int64)), 1000, "numeric columns must be one-dimensional",
                     id="timestamps-2d"),
        pytest.param(with_arg(1, 1), 1000, "numeric columns must be one-dimensional", id="scalar-flag"),
        pytest.param(with_arg(2, 7), 1000, "numeric columns must be one-dimensional", id="scalar-symbol"),
        pytest.param(with_arg(3, np.ones((2, 2))), 0, "numeric columns must be one-dimensional",
                     id="2d-before-lengths-and-window"),
        pytest.param(with_arg(3, np.ones(2)), 0, "numeric columns must have equal length",
                     id="lengths-before-window"),
        pytest.param(with_arg(0, np.arange(4)), 1000, "numeric columns must have equal length",
                     id="timestamps-longer"),
        pytest.param(with_arg(1, np.ones(0, np.uint8)), 1000, "numeric columns must have equal length",
                     id="flags-empty"),
        pytest.param(with_arg(0, np.arange(3)), 0, "window_ms must be positive", id="window-zero"),
        pytest.param(with_arg(0, np.arange(3)), -1000, "window_ms must be positive", id="window-negative"),
        pytest.param(with_arg(0, np.arange(3)), I64_MIN, "window_ms must be positive", id="window-min"),
    ],
)
def test_validation(stream, args, window_ms, message):
    before = counters(stream)
    with pytest.raises(ValueError) as info:
        stream.aggregate_trade_numeric(*args, window_ms)
    assert str(info.value) == message
    assert counters(stream) == before


@pytest.mark.parametrize(
    "position, value",
    [
        pytest.param(0, None, id="none-timestamps"),
        pytest.param(1, ["yes", "no", "yes"], id="text-flags"),
        pytest.param(2, {"a": 1}, id="dict-symbols"),
        pytest.param(3, object(), id="object-values"),
        pytest.param(0, [[1, 2], [3]], id="ragged-timestamps"),
    ],
)
def test_unconvertible_argument_is_a_type_error(stream, position, value):
    before = counters(stream)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        stream.aggregate_trade_numeric(*with_arg(position, value), 1000)
    assert counters(stream) == before


def test_window_ms_beyond_64_bits_is_a_type_error(stream):
    with pytest.raises(TypeError):
        stream.aggregate_trade_numeric(*as_arrays(*GOOD), 2**63)


@pytest.mark.parametrize(
    "timestamps, is_trade, symbol_id, values, expected",
    [
        pytest.param([1500, 1700, 2100], [1, 1, 1], [7, 7, 7], [1.0, 2.0, 4.0],
                     ([1000, 2000], [7, 7], [1.5, 4.0], [2, 1]), id="python-lists"),
        pytest.param(np.array([1500, 1700, 2100], np.int32), np.array([True, True, False]),
                     np.array([7.9, 7.2, 7.0]), np.array([1, 2, 4], np.int16),
                     ([1000], [7], [1.5], [2]), id="int32-bool-float-int16"),
        pytest.param(np.array([1500.9, 1700.2, -0.5]), np.array([1, 1, 1], np.int64),
                     np.array([7, 7, 7], ">i8"), np.array([1.0, 2.0, 4.0], np.float32),
                     ([0, 1000], [7, 7], [4.0, 1.5], [1, 2]), id="float-times-truncate-big-endian"),
        pytest.param(np.array([1, 2, 3]), np.array([256, 2, 0], np.int64), [5, 5, 5], [1.0, 8.0, 9.0],
                     ([0], [5], [8.0], [1]), id="flag-256-casts-to-0"),
        pytest.param((np.arange(12, dtype=np.int64) * 250)[::2], np.ones(12, np.uint8)[::2],
                     np.zeros((6, 2), np.int64)[:, 1], np.arange(12, dtype=np.float64)[::2],
                     ([0, 1000, 2000], [0, 0, 0], [1.0, 5.0, 9.0], [2, 2, 2]), id="strided-views"),
    ],
)
def test_arguments_are_converted(stream, timestamps, is_trade, symbol_id, values, expected):
    result = stream.aggregate_trade_numeric(timestamps, is_trade, symbol_id, values, 1000)
    starts, symbols, averages, counts = expected
    assert result["window_start"] == starts
    assert result["window_end"] == [s + 1000 for s in starts]
    assert result["symbol_id"] == symbols
    assert result["avg_value"] == averages
    assert result["count"] == counts


def test_right_typed_arrays_are_not_copied(stream):
    # NumPy reports its buffers to tracemalloc; the method's own working
    # memory is not traced. A converted argument shows up as a new buffer.
    n = 1_000_000
    ts = np.zeros(n, np.int64)
    tr = np.ones(n, np.uint8)
    sy = np.zeros(n, np.int64)
    va = np.ones(n, np.float64)

    def traced_peak(*args):
        current, _ = tracemalloc.get_traced_memory()
        tracemalloc.reset_peak()
        result = stream.aggregate_trade_numeric(*args, 1000)
        _, peak = tracemalloc.get_traced_memory()
        assert result["count"] == [n]
        return peak - current

    tracemalloc.start()
    try:
        exact = traced_peak(ts, tr, sy, va)
        converted = traced_peak(ts.astype(np.int32), tr, sy, va)
    finally:
        tracemalloc.stop()
    assert exact < 100_000
    assert converted >= 8 * n


@pytest.mark.parametrize(
    "shape",
    [
        pytest.param("time-ordered", id="time-ordered-few-groups"),
        pytest.param("random-many-groups", id="random-order-many-groups"),
        pytest.param("wide-values", id="negative-and-huge-values"),
    ],
)
def test_large_input_matches_numpy_reference(stream, shape):
    rng = np.random.default_rng(7)
    n = 600_000
    if shape == "time-ordered":
        ts = np.sort(rng.integers(1_700_000_000_000, 1_700_000_600_000, n))
        sy = rng.integers(0, 300, n)
        window_ms = 60_000
    elif shape == "random-many-groups":
        # Far more groups than one cache-resident table holds.
        ts = rng.integers(0, 400_000_000, n)
        sy = rng.integers(0, 40_000, n)
        window_ms = 1_000
    else:
        ts = rng.integers(-(2**62), 2**62, n)
        ts[::3] = ts[::3] % 5_000 - 2_500  # runs of small times near zero
        sy = rng.integers(-(2**40), 2**40, n)
        sy[::2] %= 50  # mix symbols of the direct index with others
        ts[:2] = [I64_MIN, I64_MIN + 5]  # a window starting below the range: its start is clamped
        window_ms = 1_000
    tr = (rng.random(n) < 0.85).astype(np.uint8) * rng.integers(1, 256, n).astype(np.uint8)
    tr[:2] = 1
    va = rng.normal(100.0, 15.0, n)
    result = stream.aggregate_trade_numeric(ts, tr, sy, va, window_ms)
    expected = numpy_reference(ts, tr, sy, va, window_ms)
    assert result == expected
    assert len(result["count"]) > 1000


def test_loop_runs_without_the_interpreter_lock(stream):
    """A second Python thread makes progress, including its own calls, while a large call runs."""
    rng = np.random.default_rng(3)
    n = 4_000_000
    # Random times over 8 windows: every row needs its own window computation.
    big = (
        rng.integers(0, 8_000_000, n),
        np.ones(n, np.uint8),
        rng.integers(0, 8, n),
        rng.random(n),
    )
    group = big[0] // 1_000_000 * 8 + big[2]
    counts = np.bincount(group, minlength=64)
    expected = {
        "window_start": [g // 8 * 1_000_000 for g in range(64)],
        "window_end": [g // 8 * 1_000_000 + 1_000_000 for g in range(64)],
        "symbol_id": [g % 8 for g in range(64)],
        "avg_value": (np.bincount(group, weights=big[3], minlength=64) / counts).tolist(),
        "count": counts.tolist(),
    }
    small = as_arrays([1500, 1700, 2100], [1, 1, 1], [7, 7, 7], [1.0, 2.0, 4.0])
    small_expected = reference(*small, 1000)

    calls = []  # (start, end) of each large call
    big_results = []
    done = threading.Event()

    def run_large():
        try:
            for _ in range(6):
                start = time.perf_counter()
                big_results.append(stream.aggregate_trade_numeric(*big, 1_000_000))
                calls.append((start, time.perf_counter()))
                if overlapped():
                    break
        finally:
            done.set()

    small_done = []  # completion times of the small calls made meanwhile

    def overlapped():
        # A small call finished in the middle half of a large one: the large
        # call did not hold the interpreter lock then.
        for start, end in calls:
            lo, hi = start + (end - start) / 4, end - (end - start) / 4
            if any(lo < t < hi for t in small_done):
                return True
        return False

    worker = threading.Thread(target=run_large)
    worker.start()
    small_calls = 0
    while not done.is_set():
        assert stream.aggregate_trade_numeric(*small, 1000) == small_expected
        small_done.append(time.perf_counter())
        small_calls += 1
    worker.join()
    assert overlapped(), f"no progress inside any of {len(calls)} large calls"
    assert all(r == expected for r in big_results)
    stats = stream.stats()
    assert stats["output_batches"] == len(big_results) + small_calls
    assert stats["ingested"] == n * len(big_results) + 3 * small_calls


def test_arrays_written_during_the_call_never_corrupt_memory(stream):
    """Another thread flips is_trade while the call runs without the
    interpreter lock. The numbers may then be anyone's, but every write
    stays in bounds (ASan checks that) and each counted trade is a row.
    Not a ThreadSanitizer test: the race on the caller's array is the point."""
    import threading
    import time

    n = 1_200_000
    rng = np.random.default_rng(7)
    ts = np.zeros(n, dtype=np.int64)
    sy = rng.integers(0, 2**40, n)  # a new group nearly every row: the partitioned phase
    va = np.ones(n)
    tr = np.zeros(n, dtype=np.uint8)
    tr[:400_000] = 1
    done = threading.Event()

    def flip():
        # A call whose counting pass falls in a gap of no trades finds many
        # more when it places them.
        while not done.is_set():
            tr[400_000:] = 0
            time.sleep(0.01)
            tr[400_000:] = 1
            time.sleep(0.01)

    writer = threading.Thread(target=flip)
    writer.start()
    try:
        for _ in range(8):
            result = stream.aggregate_trade_numeric(ts, tr, sy, va, 1000)
            assert 400_000 <= sum(result["count"]) <= n
    finally:
        done.set()
        writer.join()
