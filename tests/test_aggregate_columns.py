"""NativeStream.aggregate_columns: caller-supplied columns through a plan, against the stream's state."""

import time

import pytest

import _ravik


def make_plan(filters=(), select=None, window=None, mean=None, watermark_ms=None, allowed_lateness_ms=None,
              event_id_field=None, drop_late=None):
    return {
        "filters": list(filters),
        "select": select,
        "window": window,
        "mean": mean,
        "watermark_ms": watermark_ms,
        "allowed_lateness_ms": allowed_lateness_ms,
        "event_id_field": event_id_field,
        "drop_late": drop_late,
    }


def windowed_plan(**extra):
    return make_plan(
        window={"seconds": 10, "by": "sym", "time_field": "timestamp"},
        mean={"field": "price", "alias": "avg_price"},
        **extra,
    )


@pytest.fixture
def stream():
    s = _ravik.NativeStream.manual(256, 2, 4096)
    yield s
    s.close()


def emit_and_pull(stream, columns, plan):
    """Emits the rows, waits for the worker to cut them into one batch, then runs next_batch on it."""
    batches_before = stream.stats()["microbatches_emitted"]
    stream.emit_columns(columns)
    deadline = time.monotonic() + 10
    while stream.stats()["microbatches_emitted"] == batches_before:
        assert time.monotonic() < deadline, "no batch was cut"
        time.sleep(0.002)
    return stream.next_batch(plan, 0)


@pytest.mark.parametrize(
    "columns",
    [pytest.param({}, id="empty-dict"), pytest.param({"price": [], "sym": []}, id="empty-columns")],
)
@pytest.mark.parametrize(
    "plan", [pytest.param(make_plan(), id="pass-through"), pytest.param(windowed_plan(), id="windowed")]
)
def test_no_rows_gives_an_empty_dict_and_counts_a_batch(stream, columns, plan):
    before = stream.stats()
    assert stream.aggregate_columns(columns, plan) == {}
    after = stream.stats()
    assert after["output_batches"] == before["output_batches"] + 1
    assert after["output_rows"] == before["output_rows"]
    assert after["ingested"] == before["ingested"]


def test_windowed_call_closes_then_flushes_its_own_windows(stream):
    before = stream.stats()
    result = stream.aggregate_columns(
        {"timestamp": [1000, 3000, 12000, 15000], "sym": ["a", "a", "a", "b"], "price": [1.0, 2.0, 10.0, 4.0]},
        windowed_plan(),
    )
    # [0, 10000) closes during processing (the greatest time is 15000); the
    # windows starting at 10000 are still open and come from the flush.
    assert result == {
        "avg_price": [1.5, 10.0, 4.0],
        "count": [2, 1, 1],
        "sym": ["a", "a", "b"],
        "window_end": [10000, 20000, 20000],
        "window_start": [0, 10000, 10000],
    }
    after = stream.stats()
    assert after["open_windows"] == 0
    assert after["output_batches"] == before["output_batches"] + 1
    assert after["output_rows"] == before["output_rows"] + 3
    assert after["ingested"] == before["ingested"]  # rows handed in directly are not ingested


def test_windows_opened_by_next_batch_are_flushed_after_the_call_s_own_rows(stream):
    plan = windowed_plan(drop_late=False)
    assert emit_and_pull(stream, {"timestamp": [105000], "sym": ["x"], "price": [7.0]}, plan) is None
    assert stream.stats()["open_windows"] == 1
    late_before = stream.stats()["late_events"]

    # The late row opens [20000, 30000), which the processing step closes at
    # once; the flush then emits the window next_batch left open. Byte-wise
    # key order alone ("100000|x" < "20000|y") would put them the other way.
    result = stream.aggregate_columns({"timestamp": [21000], "sym": ["y"], "price": [3.0]}, plan)
    assert result["window_start"] == [20000, 100000]
    assert result["sym"] == ["y", "x"]
    assert result["avg_price"] == [3.0, 7.0]
    stats = stream.stats()
    assert stats["late_events"] == late_before + 1
    assert stats["open_windows"] == 0

    stream.close()
    assert stream.next_batch(plan, 0) is None  # nothing left to flush


def test_flush_happens_on_an_open_stream_with_nothing_processed(stream):
    plan = windowed_plan()
    emit_and_pull(stream, {"timestamp": [1000, 2000], "sym": ["a", "b"], "price": [1.0, 3.0]}, plan)
    assert not stream.is_closed()
    assert stream.stats()["open_windows"] == 2
    result = stream.aggregate_columns({}, plan)
    assert result == {
        "avg_price": [1.0, 3.0],
        "count": [1, 1],
        "sym": ["a", "b"],
        "window_end": [10000, 10000],
        "window_start": [0, 0],
    }
    assert stream.stats()["open_windows"] == 0


def test_plan_without_window_leaves_windows_open(stream):
    emit_and_pull(stream, {"timestamp": [1000], "sym": ["a"], "price": [1.0]}, windowed_plan())
    result = stream.aggregate_columns({"timestamp": [2000], "sym": ["b"], "price": [2.0]}, make_plan())
    assert result == {"price": [2.0], "sym": ["b"], "timestamp": [2000]}
    assert stream.stats()["open_windows"] == 1


def test_select_is_applied_to_flushed_rows(stream):
    result = stream.aggregate_columns(
        {"timestamp": [1000, 2000], "sym": ["a", "a"], "price": [1.0, 2.0]},
        windowed_plan(select=["window_start", "avg_price", "missing"]),
    )
    assert result == {"avg_price": [1.5], "missing": [None], "window_start": [0]}


@pytest.mark.parametrize(
    "first, second",
    [pytest.param("next_batch", "aggregate_columns", id="seen-by-next-batch"),
     pytest.param("aggregate_columns", "next_batch", id="seen-by-aggregate-columns")],
)
def test_seen_event_ids_are_shared_with_next_batch(stream, first, second):
    plan = make_plan(event_id_field="id", drop_late=False)

    def feed(how, columns):
        if how == "next_batch":
            return emit_and_pull(stream, columns, plan) or {}
        return stream.aggregate_columns(columns, plan)

    assert feed(first, {"timestamp": [1000], "id": ["e1"], "v": [1]}) == {"id": ["e1"], "timestamp": [1000], "v": [1]}
    duplicates = stream.stats()["duplicate_events"]
    result = feed(second, {"timestamp": [2000, 3000], "id": ["e1", "e2"], "v": [2, 3]})
    assert result == {"id": ["e2"], "timestamp": [3000], "v": [3]}
    assert stream.stats()["duplicate_events"] == duplicates + 1
    assert stream.stats()["seen_event_ids"] == 2


@pytest.mark.parametrize(
    "plan, error",
    [
        pytest.param({k: v for k, v in make_plan().items() if k != "drop_late"}, KeyError, id="missing-key"),
        pytest.param(make_plan(window={"seconds": 1.5, "by": None, "time_field": "timestamp"}), RuntimeError,
                     id="float-seconds"),
        pytest.param({**make_plan(), "filters": None}, TypeError, id="filters-none"),
    ],
)
def test_plan_errors_come_before_column_errors(stream, plan, error):
    emit_and_pull(stream, {"timestamp": [1000], "sym": ["a"], "price": [1.0]}, windowed_plan())
    before = stream.stats()
    bad_columns = {"timestamp": [1, 2], "price": [1.0]}
    with pytest.raises(error):
        stream.aggregate_columns(bad_columns, plan)
    with pytest.raises(ValueError, match="^all columns must have the same length$"):
        stream.aggregate_columns(bad_columns, windowed_plan())
    assert stream.stats() == before  # open window, counters: all unchanged


def test_counters_on_a_closed_stream(stream):
    stream.close()
    before = stream.stats()
    result = stream.aggregate_columns({"timestamp": [1, 2, 3], "v": [1, 2, 3]}, make_plan(filters=[
        {"field": "v", "op": ">", "value": 1}]))
    assert result == {"timestamp": [2, 3], "v": [2, 3]}
    after = stream.stats()
    assert after["output_batches"] == before["output_batches"] + 1
    assert after["output_rows"] == before["output_rows"] + 2
    assert after["ingested"] == before["ingested"]
