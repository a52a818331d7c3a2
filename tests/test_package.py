"""The pure-Python package: plan builder, filters, batches() and rows()."""

import importlib.resources
import threading
import time
from pathlib import Path

import pytest

import _ravik
import ravik

EMPTY_PLAN = {
    "filters": [],
    "select": None,
    "window": None,
    "mean": None,
    "watermark_ms": None,
    "allowed_lateness_ms": None,
    "event_id_field": None,
    "drop_late": True,
}


def manual_stream(batch_size=1024, linger_ms=1, capacity=100_000):
    return ravik.NativeStream.manual(batch_size, linger_ms, capacity)


def collect(stream, plan, timeout_s=5.0):
    """All batches of ravik.batches(), failing if the iteration does not end in time."""
    out = []
    deadline = time.monotonic() + timeout_s
    for batch in ravik.batches(stream, plan, timeout_ms=20):
        out.append(batch)
        if time.monotonic() > deadline:
            pytest.fail("batches() did not end")
    return out


def all_rows(batches):
    return [row for batch in batches for row in ravik.rows(batch)]


# ------------------------------------------------------------- the package

def test_reexports_the_native_class_unchanged():
    assert ravik.NativeStream is _ravik.NativeStream
    assert isinstance(ravik.__version__, str) and ravik.__version__


def test_type_information_is_installed():
    assert importlib.resources.files("ravik").joinpath("py.typed").is_file()
    # The stubs of the extension module are a stub-only package beside it.
    stub = Path(_ravik.__file__).parent / "_ravik-stubs" / "__init__.pyi"
    assert "class NativeStream" in stub.read_text()


# ------------------------------------------------------------ plan builder

def test_plan_without_arguments_passes_everything_through():
    assert ravik.plan() == EMPTY_PLAN
    assert list(ravik.plan()) == list(EMPTY_PLAN)  # the order the stream reads the keys in


def test_plan_with_every_option():
    built = ravik.plan(
        filters=["value > 20.5", ravik.Filter("sensor", "!=", "s9"), ("ok", "==", True),
                 {"field": "n", "op": "<", "value": 3}],
        select=["window_start", "mean_value"],
        window_seconds=10,
        by="sensor",
        time_field="ts",
        mean="value",
        watermark_ms=1000,
        allowed_lateness_ms=500,
        event_id_field="id",
        drop_late=False,
    )
    assert built == {
        "filters": [
            {"field": "value", "op": ">", "value": 20.5},
            {"field": "sensor", "op": "!=", "value": "s9"},
            {"field": "ok", "op": "==", "value": True},
            {"field": "n", "op": "<", "value": 3},
        ],
        "select": ["window_start", "mean_value"],
        "window": {"seconds": 10, "by": "sensor", "time_field": "ts"},
        "mean": {"field": "value", "alias": "mean_value"},
        "watermark_ms": 1000,
        "allowed_lateness_ms": 500,
        "event_id_field": "id",
        "drop_late": False,
    }


def test_alias_can_be_chosen():
    assert ravik.plan(window_seconds=1, mean="v", alias="avg")["mean"] == {"field": "v", "alias": "avg"}


@pytest.mark.parametrize(
    ("name", "suggestion"),
    [
        ("windw_seconds", "window_seconds"),
        ("window", "window_seconds"),
        ("group_by", "by"),
        ("lateness_ms", "allowed_lateness_ms"),
        ("watermark", "watermark_ms"),
        ("id_field", "event_id_field"),
        ("filter", "filters"),
        ("drop_lates", "drop_late"),
    ],
)
def test_misspelt_option_names_the_close_match(name, suggestion):
    with pytest.raises(TypeError, match=rf"unexpected keyword argument '{name}'\. Did you mean '{suggestion}'\?"):
        ravik.plan(**{name: 1})


def test_unrelated_option_lists_the_valid_names():
    with pytest.raises(TypeError, match=r"'zzz'\. Valid names: filters, select, window_seconds"):
        ravik.plan(zzz=1)


def test_plan_takes_no_positional_arguments():
    with pytest.raises(TypeError):
        ravik.plan(10)


@pytest.mark.parametrize(
    ("options", "error", "message"),
    [
        ({"window_seconds": 0, "mean": "v"}, ValueError, "window_seconds must be at least 1"),
        ({"window_seconds": -5, "mean": "v"}, ValueError, "window_seconds must be at least 1"),
        ({"window_seconds": 2**62, "mean": "v"}, ValueError, "out of range"),
        ({"window_seconds": 1.5, "mean": "v"}, TypeError, "window_seconds must be an int, not float"),
        ({"window_seconds": True, "mean": "v"}, TypeError, "window_seconds must be an int, not bool"),
        ({"window_seconds": 10}, ValueError, "window_seconds needs mean"),
        ({"mean": "v"}, ValueError, "mean needs window_seconds"),
        ({"by": "sensor"}, ValueError, "by needs window_seconds"),
        ({"alias": "m"}, ValueError, "alias needs window_seconds"),
        ({"time_field": "ts"}, ValueError, "time_field needs window_seconds"),
        ({"window_seconds": 1, "mean": "v", "alias": "count"}, ValueError, "alias='count' would overwrite"),
        ({"window_seconds": 1, "mean": "v", "by": "window_start"}, ValueError, "by='window_start' would overwrite"),
        ({"window_seconds": 1, "mean": "v", "by": "g", "alias": "g"}, ValueError, "alias='g' would overwrite"),
        ({"window_seconds": 1, "mean": ""}, ValueError, "mean must not be empty"),
        ({"window_seconds": 1, "mean": 3}, TypeError, "mean must be a str, not int"),
        ({"watermark_ms": -1}, ValueError, "watermark_ms must be at least 0"),
        ({"allowed_lateness_ms": "5"}, TypeError, "allowed_lateness_ms must be an int, not str"),
        ({"drop_late": 0}, TypeError, "drop_late must be a bool, not int"),
        ({"event_id_field": b"id"}, TypeError, "event_id_field must be a str, not bytes"),
        ({"select": "a"}, TypeError, "select must be a list of field names, not str"),
        ({"select": ["a", 1]}, TypeError, "a select entry must be a str, not int"),
        ({"filters": "x > 1"}, TypeError, "wrap a single filter in a list"),
        ({"filters": ("x", ">", 1)}, TypeError, "wrap a single filter in a list"),
        ({"filters": 5}, TypeError, "filters must be a list of filters, not int"),
        ({"filters": [("x", ">")]}, ValueError, "three items"),
        ({"filters": [{"field": "x", "op": ">"}]}, ValueError, "exactly the keys"),
        ({"filters": [3]}, TypeError, "a filter is a 'field op value' str"),
        ({"filters": [("x", "=", 1)]}, ValueError, r"unknown filter operator '='.*did you mean '=='"),
        ({"filters": [("x", ">", [1])]}, TypeError, "filter value must be None, bool, int, float or str, not list"),
    ],
    ids=lambda v: v if isinstance(v, str) else None,
)
def test_bad_option_values(options, error, message):
    with pytest.raises(error, match=message):
        ravik.plan(**options)


# ------------------------------------------------------------ filter texts

@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("value > 3", ("value", ">", 3)),
        ("value>=2.5", ("value", ">=", 2.5)),
        ("value <= -1e3", ("value", "<=", -1000.0)),
        ("n < +7", ("n", "<", 7)),
        ("sensor == eu", ("sensor", "==", "eu")),
        ('sensor == "eu"', ("sensor", "==", "eu")),
        ("sensor != 'a b'", ("sensor", "!=", "a b")),
        ('code == "42"', ("code", "==", "42")),
        ("ok == true", ("ok", "==", True)),
        ("ok != false", ("ok", "!=", False)),
        ("x == null", ("x", "==", None)),
        ("x == nan", ("x", "==", "nan")),
        ("label == a>b", ("label", "==", "a>b")),
        ("  spaced field   ==   v  ", ("spaced field", "==", "v")),
    ],
)
def test_filter_text_is_parsed(text, expected):
    assert ravik.Filter.parse(text) == ravik.Filter(*expected)


@pytest.mark.parametrize(
    ("text", "message"),
    [
        ("x = 3", r"unknown filter operator '='.*did you mean '=='"),
        ("x => 3", r"unknown filter operator '=>'.*did you mean '>='"),
        ("x <> 3", r"unknown filter operator '<>'.*did you mean '!='"),
        ("x >== 3", r"unknown filter operator '>=='"),
        ("x 3", "is not 'field op value'"),
        ("== 3", "has no field name"),
        ("x ==", "has no value"),
        ("x ==   ", "has no value"),
    ],
)
def test_bad_filter_text(text, message):
    with pytest.raises(ValueError, match=message):
        ravik.Filter.parse(text)


# ------------------------------------- plans built here, run by the stream

@pytest.mark.concurrency
def test_built_plan_drives_windowed_aggregation():
    stream = manual_stream()
    stream.emit_columns({
        "timestamp": [1_000, 2_000, 4_000, 12_000, 15_000, 21_000],
        "sensor": ["a", "b", "a", "a", "b", "a"],
        "value": [1.0, 2.0, 3.0, 5.0, 100.0, 8.0],
    })
    stream.close()
    plan = ravik.plan(window_seconds=10, by="sensor", mean="value", filters=["value < 50"])
    rows = all_rows(collect(stream, plan))
    assert sorted((r["window_start"], r["sensor"], r["mean_value"], r["count"]) for r in rows) == [
        (0, "a", 2.0, 2),
        (0, "b", 2.0, 1),
        (10_000, "a", 5.0, 1),
        (20_000, "a", 8.0, 1),
    ]


@pytest.mark.concurrency
def test_built_plan_deduplicates_and_selects():
    stream = manual_stream()
    stream.emit_columns({"id": [1, 2, 2, 3], "timestamp": [10, 20, 20, 30], "x": ["a", "b", "b", "c"]})
    stream.close()
    rows = all_rows(collect(stream, ravik.plan(event_id_field="id", select=["x"])))
    assert rows == [{"x": "a"}, {"x": "b"}, {"x": "c"}]
    assert stream.stats()["duplicate_events"] == 1


# ----------------------------------------------------------------- batches

PASS_THROUGH = ravik.plan()


@pytest.mark.concurrency
def test_batches_ends_on_a_closed_stream_after_every_batch_and_the_flush():
    stream = manual_stream(batch_size=2)
    for t in range(7):
        stream.emit_json({"timestamp": t * 1000, "value": float(t)})
    time.sleep(0.05)  # the worker cuts batches of 2 until the queue is empty
    stream.close()
    batches = collect(stream, ravik.plan(window_seconds=100, mean="value"))
    # Nothing closes on its own (one 100 s window): the flush on the closed
    # stream emits it, then the iteration ends.
    assert all_rows(batches) == [
        {"count": 7, "mean_value": 3.0, "window_end": 100_000, "window_start": 0},
    ]
    assert stream.next_batch(PASS_THROUGH, 0) is None


def test_batches_on_an_empty_closed_stream_yields_nothing():
    stream = manual_stream()
    stream.close()
    assert collect(stream, PASS_THROUGH) == []


@pytest.mark.concurrency
def test_batches_keeps_going_while_the_stream_is_open_and_ends_after_close():
    stream = manual_stream(batch_size=5)
    events = 40
    closer_done = threading.Event()

    def produce_then_close():
        for t in range(events):
            stream.emit_json({"timestamp": t, "n": t})
            time.sleep(0.002)
        stream.close()
        closer_done.set()

    producer = threading.Thread(target=produce_then_close)
    producer.start()
    try:
        seen = [row["n"] for row in all_rows(collect(stream, PASS_THROUGH, timeout_s=10))]
    finally:
        producer.join()
    assert closer_done.is_set()
    # Every event cut before or at close comes out, in order; close() cuts
    # once more, so at most one batch_size may stay behind in the queue.
    assert seen == list(range(len(seen)))
    assert len(seen) >= events - 5
    assert stream.stats()["output_rows"] == len(seen)


@pytest.mark.concurrency
def test_batches_yields_each_non_empty_result_once():
    stream = manual_stream(batch_size=3)
    stream.emit_columns({"timestamp": list(range(9)), "n": list(range(9))})
    time.sleep(0.05)
    stream.close()
    batches = collect(stream, PASS_THROUGH)
    assert batches and all(batch for batch in batches)
    assert [row["n"] for row in all_rows(batches)] == list(range(9))


def test_batches_passes_timeout_through():
    stream = manual_stream()
    with pytest.raises(TypeError):
        next(ravik.batches(stream, PASS_THROUGH, timeout_ms=1.5))
    stream.close()


# -------------------------------------------------------------------- rows

def test_rows_turns_columns_into_dicts():
    assert list(ravik.rows({"a": [1, 2], "b": ["x", None]})) == [{"a": 1, "b": "x"}, {"a": 2, "b": None}]
    assert list(ravik.rows({})) == []


def test_rows_refuses_ragged_columns():
    with pytest.raises(ValueError):
        list(ravik.rows({"a": [1, 2], "b": [1]}))

