"""Plan dicts: required keys, value conversions and the errors they raise."""

import numpy as np
import pytest

from _ravik import NativeStream
from pipeline_helpers import (
    PLAN_KEYS,
    flt,
    full_plan,
    mean,
    run_closed,
    rows_of,
    window,
    windowed_plan,
)

CAST_TAIL = " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"


def cast_message(type_text):
    return "Unable to cast Python instance of type " + type_text + CAST_TAIL


def parse(plan):
    """Parses a plan through next_batch on an empty closed stream."""
    s = NativeStream.manual(1, 1, 1)
    s.close()
    return s.next_batch(plan, 0)


def test_all_eight_keys_with_defaults_is_a_pass_through_plan():
    result, s = run_closed([{"x": 1, "timestamp": 10}, {"x": 2, "timestamp": 20}], full_plan())
    assert result == {"timestamp": [10, 20], "x": [1, 2]}
    assert s.stats()["open_windows"] == 0


@pytest.mark.parametrize("key", PLAN_KEYS)
def test_each_top_level_key_is_required(key):
    plan = full_plan()
    del plan[key]
    with pytest.raises(KeyError) as info:
        parse(plan)
    assert info.value.args == (key,)


@pytest.mark.parametrize(
    "clause, key",
    [
        ("filters", "field"),
        ("filters", "op"),
        ("filters", "value"),
        ("window", "seconds"),
        ("window", "by"),
        ("window", "time_field"),
        ("mean", "field"),
        ("mean", "alias"),
    ],
)
def test_each_key_of_a_clause_is_required(clause, key):
    parts = {"filters": flt("x", "==", 1), "window": window(1), "mean": mean()}
    del parts[clause][key]
    plan = full_plan(
        filters=[parts["filters"]], window=parts["window"], mean=parts["mean"]
    )
    with pytest.raises(KeyError) as info:
        parse(plan)
    assert info.value.args == (key,)


@pytest.mark.parametrize(
    "overrides, type_text",
    [
        pytest.param({"window": window(10.0)}, "<class 'float'>", id="seconds-float"),
        pytest.param({"window": window("10")}, "<class 'str'>", id="seconds-str"),
        pytest.param({"window": window(None)}, "<class 'NoneType'>", id="seconds-none"),
        pytest.param({"window": window(2**63)}, "<class 'int'>", id="seconds-beyond-int64"),
        pytest.param({"window": window(1, by=5)}, "<class 'int'>", id="by-int"),
        pytest.param({"window": window(1, time_field=None)}, "<class 'NoneType'>", id="time-field-none"),
        pytest.param({"mean": mean(field=1.5)}, "<class 'float'>", id="mean-field-float"),
        pytest.param({"mean": mean(alias=["a"])}, "<class 'list'>", id="mean-alias-list"),
        pytest.param({"watermark_ms": 1.0}, "<class 'float'>", id="watermark-float"),
        pytest.param({"watermark_ms": -(2**63) - 1}, "<class 'int'>", id="watermark-below-int64"),
        pytest.param({"allowed_lateness_ms": "5"}, "<class 'str'>", id="lateness-str"),
        pytest.param({"event_id_field": 7}, "<class 'int'>", id="event-id-field-int"),
        pytest.param({"drop_late": "no"}, "<class 'str'>", id="drop-late-str"),
        pytest.param({"drop_late": ""}, "<class 'str'>", id="drop-late-empty-str"),
        pytest.param({"drop_late": []}, "<class 'list'>", id="drop-late-list"),
        pytest.param({"filters": [flt(3, "==", 1)]}, "<class 'int'>", id="filter-field-int"),
        pytest.param({"filters": [flt("x", None, 1)]}, "<class 'NoneType'>", id="filter-op-none"),
        pytest.param({"filters": [flt("x", "==", 2**64)]}, "<class 'int'>", id="filter-value-beyond-int64"),
        pytest.param({"select": ["x", 1]}, "<class 'int'>", id="select-name-int"),
    ],
)
def test_wrong_kind_of_value_is_the_cast_error(overrides, type_text):
    plan = full_plan(**overrides)
    with pytest.raises(RuntimeError) as info:
        parse(plan)
    assert str(info.value) == cast_message(type_text)


def test_filter_value_with_a_lone_surrogate_is_the_cast_error():
    with pytest.raises(RuntimeError) as info:
        parse(full_plan(filters=[flt("x", "==", "\ud800")]))
    assert str(info.value) == cast_message("<class 'str'>")


@pytest.mark.parametrize(
    "overrides, constructor, argument",
    [
        pytest.param({"filters": None}, list, None, id="filters-none"),
        pytest.param({"filters": 5}, list, 5, id="filters-int"),
        pytest.param({"select": 5}, list, 5, id="select-int"),
        pytest.param({"filters": [5]}, dict, 5, id="filter-element-int"),
        pytest.param({"filters": "ab"}, dict, "a", id="filters-str-elements"),
        pytest.param({"filters": [[1, 2]]}, dict, [1, 2], id="filter-element-not-pairs"),
        pytest.param({"window": 10}, dict, 10, id="window-int"),
        pytest.param({"window": ["abc"]}, dict, ["abc"], id="window-bad-pair-length"),
        pytest.param({"mean": [("field", "v", "x")]}, dict, [("field", "v", "x")], id="mean-triple"),
    ],
)
def test_list_and_dict_constructor_errors_pass_through(overrides, constructor, argument):
    # The error is exactly the one Python's own constructor raises.
    with pytest.raises((TypeError, ValueError)) as expected:
        constructor(argument)
    with pytest.raises(type(expected.value)) as info:
        parse(full_plan(**overrides))
    assert str(info.value) == str(expected.value)


def test_an_exception_raised_while_iterating_filters_passes_through():
    class Boom(Exception):
        pass

    def filters():
        yield flt("x", "==", 1)
        raise Boom("from the generator")

    with pytest.raises(Boom, match="from the generator"):
        parse(full_plan(filters=filters()))


EVENTS = [{"x": i, "timestamp": 10 + i} for i in range(4)]


@pytest.mark.parametrize(
    "filters",
    [
        pytest.param([flt("x", ">=", 2)], id="list"),
        pytest.param((flt("x", ">=", 2),), id="tuple"),
        pytest.param((f for f in [flt("x", ">=", 2)]), id="generator"),
        pytest.param([[("field", "x"), ("op", ">="), ("value", 2)]], id="element-as-pairs"),
        pytest.param([flt(b"x", b">=", 2)], id="bytes-text"),
        pytest.param([flt(bytearray(b"x"), ">=", 2)], id="bytearray-text"),
    ],
)
def test_filters_accept_any_iterable_and_dict_convertible_elements(filters):
    result, _ = run_closed(EVENTS, full_plan(filters=filters))
    assert result["x"] == [2, 3]


@pytest.mark.parametrize(
    "select",
    [pytest.param(["x"], id="list"), pytest.param(("x",), id="tuple"), pytest.param(iter([b"x"]), id="iter-bytes")],
)
def test_select_accepts_any_iterable(select):
    result, _ = run_closed(EVENTS, full_plan(select=select))
    assert result == {"x": [0, 1, 2, 3]}


def test_window_and_mean_accept_pair_sequences():
    plan = full_plan(
        window=[("seconds", 1), ("by", None), ("time_field", "timestamp")],
        mean=[("field", "x"), ("alias", "m")],
    )
    result, _ = run_closed(EVENTS, plan)
    assert rows_of(result, "window_start", "window_end", "m", "count") == [(0, 1000, 1.5, 4)]


class Index:
    def __index__(self):
        return 1


@pytest.mark.parametrize(
    "seconds",
    [
        pytest.param(True, id="true"),
        pytest.param(1, id="int"),
        pytest.param(np.int64(1), id="numpy-int64"),
        pytest.param(Index(), id="index-object"),
    ],
)
def test_window_seconds_integer_conversions(seconds):
    # One-second windows: 500 and 1500 fall into different windows, both
    # closed by the event at 2000.
    events = [{"v": 1, "timestamp": 500}, {"v": 2, "timestamp": 1500}, {"v": 3, "timestamp": 2000}]
    result, _ = run_closed(events, windowed_plan(seconds=seconds))
    assert rows_of(result, "window_start", "window_end", "count") == [(0, 1000, 1), (1000, 2000, 1)]


LATE_EVENTS = [{"x": 1, "timestamp": 100}, {"x": 2, "timestamp": 50}]


@pytest.mark.parametrize(
    "drop_late, kept",
    [
        pytest.param(None, [1], id="none-means-true"),
        pytest.param(True, [1], id="true"),
        pytest.param(False, [1, 2], id="false"),
        pytest.param(0, [1, 2], id="int-zero"),
        pytest.param(0.0, [1, 2], id="float-zero"),
        pytest.param(2, [1], id="int-two"),
        pytest.param(0.5, [1], id="float-half"),
        pytest.param(np.bool_(False), [1, 2], id="numpy-false"),
    ],
)
def test_drop_late_truth_values(drop_late, kept):
    result, s = run_closed(LATE_EVENTS, full_plan(drop_late=drop_late))
    assert result["x"] == kept
    assert s.stats()["late_events"] == 1


def test_window_by_none_gives_no_group_field():
    result, _ = run_closed([{"v": 1, "g": "a", "timestamp": 1}], windowed_plan(by=None))
    assert set(result) == {"window_start", "window_end", "avg", "count"}


def test_unknown_operator_is_accepted_and_rejects_every_row():
    result, _ = run_closed(EVENTS, full_plan(filters=[flt("x", "=", 1)]))
    assert result is None


@pytest.mark.parametrize(
    "seconds",
    [pytest.param(0, id="zero"), pytest.param(-1, id="minus-one"), pytest.param(-(2**63), id="int64-min")],
)
def test_window_length_must_be_positive(seconds):
    # Refused for any window clause, with or without a mean.
    for plan in (windowed_plan(seconds=seconds), full_plan(window=window(seconds))):
        with pytest.raises(ValueError) as info:
            parse(plan)
        assert str(info.value) == "window seconds must be positive"


@pytest.mark.parametrize(
    "seconds", [pytest.param(2**63 // 1000 + 1, id="just-beyond"), pytest.param(2**63 - 1, id="int64-max")]
)
def test_window_length_in_milliseconds_must_fit_in_64_bits(seconds):
    with pytest.raises(ValueError) as info:
        parse(windowed_plan(seconds=seconds))
    assert str(info.value) == "window seconds out of range"


def test_longest_window_length_is_accepted():
    seconds = 2**63 // 1000  # seconds * 1000 is still below 2**63
    result, _ = run_closed([{"v": 3, "timestamp": 5}], windowed_plan(seconds=seconds))
    assert rows_of(result, "window_start", "window_end", "avg") == [(0, seconds * 1000, 3.0)]


def test_a_bad_plan_consumes_nothing():
    s = NativeStream.manual(16, 10**9, 16)
    s.emit_json({"x": 1, "timestamp": 1})
    s.close()
    with pytest.raises(ValueError):
        s.next_batch(windowed_plan(seconds=0), 0)
    assert s.next_batch(full_plan(), 0)["x"] == [1]
