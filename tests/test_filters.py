"""Filters (comparison of an event value against a constant) and the select list."""

import math
import operator

import pytest

from pipeline_helpers import flt, full_plan, run_closed, rows_of, windowed_plan

OPS = {
    "==": operator.eq,
    "!=": operator.ne,
    ">": operator.gt,
    ">=": operator.ge,
    "<": operator.lt,
    "<=": operator.le,
}

# Event values (left-hand side) of every alternative.
LHS = [2, 3, 3.0, 4.5, -7, "3", "a", "", True, False, None]
# Filter constants (right-hand side).
RHS = [3, 3.0, "3", "a", True, False, None]


def table(lhs, op, rhs):
    """The outcome table: numbers compare in double precision with every
    operator; strings and bools only with == and != among their own kind;
    every other pairing, Null included, is false."""
    def numeric(v):
        return type(v) in (int, float)

    if numeric(lhs) and numeric(rhs):
        return OPS[op](float(lhs), float(rhs))
    if type(lhs) is type(rhs) and type(lhs) in (str, bool) and op in ("==", "!="):
        return OPS[op](lhs, rhs)
    return False


def kept(values, filters):
    """Indices of the values whose event passes the filters."""
    events = [{"i": i, "x": v, "timestamp": i} for i, v in enumerate(values)]
    result, _ = run_closed(events, full_plan(filters=filters))
    return [] if result is None else result["i"]


@pytest.mark.parametrize("op", list(OPS))
@pytest.mark.parametrize("rhs", RHS, ids=[f"{type(v).__name__}-{v!r}" for v in RHS])
def test_outcome_table(op, rhs):
    expected = [i for i, lhs in enumerate(LHS) if table(lhs, op, rhs)]
    assert kept(LHS, [flt("x", op, rhs)]) == expected


@pytest.mark.parametrize(
    "op",
    [
        pytest.param("=", id="single-equals"),
        pytest.param(" ==", id="leading-space"),
        pytest.param("== ", id="trailing-space"),
        pytest.param("eq", id="word"),
        pytest.param("", id="empty"),
        pytest.param("=<", id="reversed"),
        pytest.param("<>", id="angle-pair"),
    ],
)
def test_any_other_operator_text_rejects_every_row(op):
    assert kept(LHS, [flt("x", op, 3)]) == []


@pytest.mark.parametrize(
    "value, op, constant, passes",
    [
        pytest.param(3.5, ">", 3, True, id="float-gt-int"),
        pytest.param("4", ">", 3, False, id="digit-string-gt-int"),
        pytest.param(True, ">", 0, False, id="bool-gt-int"),
        pytest.param(1, "==", True, False, id="int-eq-true"),
        pytest.param(3, "==", 3.0, True, id="int-eq-float"),
        pytest.param(3.0, "!=", 3, False, id="float-ne-int"),
        pytest.param(9007199254740993, "==", 9007199254740992, True, id="beyond-2-53-in-double"),
        pytest.param(9007199254740993, ">", 9007199254740992, False, id="beyond-2-53-not-greater"),
        pytest.param(-(2**63), "<", 2**63 - 1, True, id="int64-limits"),
        pytest.param(math.inf, ">", 2**63 - 1, True, id="inf-above-everything"),
        pytest.param(math.nan, "!=", 1, True, id="nan-ne-number"),
        pytest.param(math.nan, "!=", math.nan, True, id="nan-ne-nan"),
        pytest.param(math.nan, "==", math.nan, False, id="nan-eq-nan"),
        pytest.param(math.nan, "<=", 1, False, id="nan-le"),
        pytest.param(math.nan, ">=", 1, False, id="nan-ge"),
        pytest.param(1, "<", math.nan, False, id="number-lt-nan"),
        pytest.param("b", ">", "a", False, id="string-order"),
        pytest.param("a", "<=", "a", False, id="string-le-self"),
        pytest.param("a", "==", "a ", False, id="string-trailing-space"),
        pytest.param("é", "==", "é", True, id="string-utf8"),
        pytest.param("é", "==", "e\u0301", False, id="string-bytes-not-normalised"),
        pytest.param("", "==", "", True, id="empty-strings"),
        pytest.param("", "!=", None, False, id="empty-string-ne-null"),
        pytest.param(None, "!=", None, False, id="null-ne-null"),
        pytest.param(None, "==", None, False, id="null-eq-null"),
        pytest.param(5, "!=", None, False, id="number-ne-null"),
        pytest.param(True, "!=", False, True, id="bool-ne"),
        pytest.param(True, ">", False, False, id="bool-order"),
        pytest.param("true", "==", True, False, id="string-eq-bool"),
    ],
)
def test_comparison_edge_cases(value, op, constant, passes):
    assert kept([value], [flt("x", op, constant)]) == ([0] if passes else [])


@pytest.mark.parametrize("op", list(OPS))
def test_missing_field_rejects_the_row_for_every_operator(op):
    events = [{"i": 0, "timestamp": 1}, {"i": 1, "x": 1, "timestamp": 2}, {"i": 2, "x": 5, "timestamp": 3}]
    result, _ = run_closed(events, full_plan(filters=[flt("x", op, 3)]))
    expected = [i for i, v in ((1, 1), (2, 5)) if OPS[op](v, 3)]
    assert (result["i"] if result else []) == expected


def test_filters_all_have_to_pass_in_order():
    values = [1, 2, 3, 4, 5, 6]
    assert kept(values, [flt("x", ">", 1), flt("x", "<=", 5), flt("x", "!=", 3)]) == [1, 3, 4]


def test_filters_on_different_fields_and_the_timestamp():
    events = [{"x": i % 2, "timestamp": 100 + i} for i in range(6)]
    result, _ = run_closed(events, full_plan(filters=[flt("x", "==", 1), flt("timestamp", ">=", 102)]))
    assert result["timestamp"] == [103, 105]


def test_no_filters_keeps_every_row():
    assert kept(LHS, []) == list(range(len(LHS)))


def test_rejected_rows_are_not_counted():
    _, s = run_closed([{"x": 1, "timestamp": 2}, {"x": 2, "timestamp": 1}], full_plan(filters=[flt("x", "==", 9)]))
    stats = s.stats()
    assert (stats["late_events"], stats["duplicate_events"], stats["output_rows"]) == (0, 0, 0)


def test_filters_apply_before_windowing():
    events = [{"v": v, "timestamp": t} for t, v in [(100, 1), (200, 50), (300, 3), (1000, 0)]]
    plan = windowed_plan(seconds=1, filters=[flt("v", "<", 10)])
    result, _ = run_closed(events, plan)
    assert rows_of(result, "window_start", "avg", "count") == [(0, 2.0, 2)]


EVENTS = [{"a": 1, "b": "x", "timestamp": 10}, {"a": 2, "c": True, "timestamp": 20}]


@pytest.mark.parametrize(
    "select, expected",
    [
        pytest.param(None, {"a": [1, 2], "b": ["x", None], "c": [None, True], "timestamp": [10, 20]}, id="absent"),
        pytest.param(["a"], {"a": [1, 2]}, id="one-field"),
        pytest.param(["c", "a"], {"a": [1, 2], "c": [None, True]}, id="columns-in-byte-order"),
        pytest.param(["a", "a"], {"a": [1, 2]}, id="duplicate-name"),
        pytest.param(["zz", "a"], {"a": [1, 2], "zz": [None, None]}, id="unknown-field-is-null"),
        pytest.param(["b"], {"b": ["x", None]}, id="partly-missing"),
    ],
)
def test_select(select, expected):
    result, _ = run_closed(EVENTS, full_plan(select=select))
    assert result == expected
    assert list(result) == sorted(expected)


def test_empty_select_returns_empty_rows_and_counts_them():
    result, s = run_closed(EVENTS, full_plan(select=[]))
    assert result == {}
    assert (s.stats()["output_batches"], s.stats()["output_rows"]) == (1, 2)


def test_select_applies_to_window_rows():
    events = [{"v": 4, "timestamp": 1}, {"v": 0, "timestamp": 1000}]
    result, _ = run_closed(events, windowed_plan(seconds=1, select=["count", "avg"]))
    assert result == {"avg": [4.0], "count": [1]}


def test_select_does_not_decide_which_rows_come_out():
    result, _ = run_closed(EVENTS, full_plan(select=["b"], filters=[flt("a", "==", 2)]))
    assert result == {"b": [None]}
