"""Column dicts: reading them with emit_columns, and the typed columns that
next_batch returns."""

import array
import math
import time
from collections import OrderedDict

import numpy as np
import pytest

from _ravik import NativeStream
from pipeline_helpers import BIG, NEVER_MS, flt, full_plan, run_closed, typed, windowed_plan

CAST_TAIL = " to C++ type '?' (#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"


def through(columns, plan=None):
    """Emits one column dict and returns what a pass-through plan gives back."""
    result, _ = run_closed(columns=columns, plan=plan)
    return result


def through_rows(events, plan=None):
    """Emits dicts one by one and returns the pass-through result."""
    result, _ = run_closed(events, plan)
    return result


# --- reading column dicts ------------------------------------------------


def test_columns_become_rows_with_a_wall_clock_timestamp():
    before = int(time.time() * 1000)
    result = through({"x": [1, 2], "y": ["a", "b"]})
    after = int(time.time() * 1000)
    assert result["x"] == [1, 2] and result["y"] == ["a", "b"]
    assert all(type(t) is int and before <= t <= after for t in result["timestamp"])
    assert list(result) == ["timestamp", "x", "y"]


def test_a_timestamp_column_is_kept():
    assert through({"x": [1, 2], "timestamp": [10, 20]}) == {"timestamp": [10, 20], "x": [1, 2]}


@pytest.mark.parametrize(
    "column, expected",
    [
        pytest.param((1, 2), [1, 2], id="tuple"),
        pytest.param(range(2), [0, 1], id="range"),
        pytest.param("ab", ["a", "b"], id="str"),
        pytest.param({0: "p", 1: "q"}, ["p", "q"], id="dict-with-index-keys"),
        pytest.param(b"ab", [97, 98], id="bytes"),
        pytest.param(array.array("q", [5, -6]), [5, -6], id="array-q"),
        pytest.param(array.array("d", [0.5, 1.5]), [0.5, 1.5], id="array-d"),
        pytest.param(memoryview(array.array("i", [7, 8])), [7, 8], id="memoryview"),
    ],
)
def test_any_sequence_is_a_column(column, expected):
    result = through({"x": column, "timestamp": [1, 2]})
    assert typed(result["x"]) == typed(expected)


def test_keys_are_str_of_the_key_and_the_later_column_wins():
    result = through({1: [10], "1": [20], None: ["n"], "timestamp": [1]})
    assert result == {"1": [20], "None": ["n"], "timestamp": [1]}


@pytest.mark.parametrize(
    "columns",
    [
        pytest.param({"x": [1, 2], "y": [1]}, id="shorter-second"),
        pytest.param({"x": [1], "y": [1, 2]}, id="longer-second"),
        pytest.param({"x": [], "y": [1]}, id="empty-beside-non-empty"),
        pytest.param({"x": [1], "y": [1], "z": []}, id="third-differs"),
    ],
)
def test_columns_of_different_lengths(columns):
    s = NativeStream.manual(BIG, NEVER_MS, BIG)
    with pytest.raises(ValueError) as info:
        s.emit_columns(columns)
    assert str(info.value) == "all columns must have the same length"
    assert s.stats()["ingested"] == 0
    s.close()


@pytest.mark.parametrize("columns", [{}, {"x": []}, {"x": [], "y": ()}], ids=["no-columns", "empty", "two-empty"])
def test_empty_column_dicts_give_no_rows(columns):
    result, s = run_closed(columns=columns)
    assert result is None
    assert s.stats()["ingested"] == 0


class LyingLength:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 1:
            raise IndexError("column index out of range")
        return 1


class StrRaises:
    def __str__(self):
        raise ValueError("no text for you")


@pytest.mark.parametrize(
    "columns, error, text",
    [
        pytest.param({"x": 5}, TypeError, "object of type 'int' has no len()", id="int-column"),
        pytest.param({"x": None}, TypeError, "object of type 'NoneType' has no len()", id="none-column"),
        pytest.param({"x": LyingLength()}, IndexError, "column index out of range", id="short-item-access"),
        pytest.param({"x": {0: 1, 2: 3}}, KeyError, "1", id="dict-without-index-key"),
        pytest.param({"x": [1, StrRaises()]}, ValueError, "no text for you", id="value-str-raises"),
        pytest.param({StrRaises(): [1]}, ValueError, "no text for you", id="key-str-raises"),
        pytest.param({"x": [1, 2**63]}, RuntimeError, "Unable to cast Python instance of type <class 'int'>" + CAST_TAIL,
                     id="int-beyond-int64"),
        pytest.param({"x": np.array([1, 2**64 - 1], dtype=np.uint64)}, RuntimeError,
                     "Unable to cast Python instance of type <class 'numpy.uint64'>" + CAST_TAIL, id="uint64-beyond"),
        pytest.param({"x": np.array(5)}, TypeError, "len() of unsized object", id="zero-dim-array"),
    ],
)
def test_conversion_errors_pass_through_and_queue_nothing(columns, error, text):
    s = NativeStream.manual(BIG, NEVER_MS, BIG)
    with pytest.raises(error) as info:
        s.emit_columns(columns)
    assert str(info.value) == text
    s.close()
    assert s.stats()["ingested"] == 0
    assert s.next_batch(full_plan(), 0) is None


def test_emit_columns_takes_one_positional_dict():
    s = NativeStream.manual(BIG, NEVER_MS, BIG)
    s.emit_columns(OrderedDict(x=[1], timestamp=[1]))
    for bad in ([("x", [1])], None):
        with pytest.raises(TypeError):
            s.emit_columns(bad)
    with pytest.raises(TypeError):
        s.emit_columns(columns={"x": [1]})
    s.close()
    assert s.stats()["ingested"] == 1


# --- NumPy columns -------------------------------------------------------

INT_DTYPES = [np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64]


@pytest.mark.parametrize("dtype", INT_DTYPES, ids=lambda d: np.dtype(d).name)
def test_numpy_integer_arrays_give_integers(dtype):
    info = np.iinfo(dtype)
    values = [int(info.min), 0, 1, int(min(info.max, 2**63 - 1))]
    result = through({"x": np.array(values, dtype=dtype), "timestamp": np.arange(4)})
    assert typed(result["x"]) == typed(values)
    assert typed(result["timestamp"]) == typed([0, 1, 2, 3])


@pytest.mark.parametrize(
    "array, expected",
    [
        pytest.param(np.array([True, False]), [True, False], id="bool"),
        pytest.param(np.array([0.5, -1.25]), [0.5, -1.25], id="float64"),
        pytest.param(np.array([0.1, 3.0], dtype=np.float32), [float(np.float32(0.1)), 3.0], id="float32"),
        pytest.param(np.array([0.5, 2.0], dtype=np.float16), [0.5, 2.0], id="float16"),
        pytest.param(np.array(["ab", "", "é€😀"]), ["ab", "", "é€😀"], id="unicode"),
        pytest.param(np.array(["a ", " b"]), ["a ", " b"], id="unicode-spaces-kept"),
        pytest.param(np.array([1, 2], dtype=">i8"), [1, 2], id="big-endian-int"),
        pytest.param(np.array(["xy", "z"], dtype=">U2"), ["xy", "z"], id="big-endian-unicode"),
        pytest.param(np.array([1, "x", None, 2.5, True], dtype=object), [1, "x", None, 2.5, True], id="object"),
        pytest.param(np.array([np.int64(4), np.float32(0.5)], dtype=object), [4, 0.5], id="object-numpy-scalars"),
        pytest.param(np.array(["2020-01-02", "2021-03-04"], dtype="datetime64[D]"), ["2020-01-02", "2021-03-04"],
                     id="datetime-through-str"),
        pytest.param(np.array([b"ab", b"c"]), ["b'ab'", "b'c'"], id="bytes-dtype-through-str"),
    ],
)
def test_numpy_arrays_give_cells_of_their_kind(array, expected):
    # Element by element (one-element slices), so that a column of mixed
    # cells does not come back as text ...
    cells = [through({"x": array[i : i + 1], "timestamp": [1]})["x"][0] for i in range(len(array))]
    assert typed(cells) == typed(expected)
    # ... and as a whole, when the cells share one type.
    if len({type(v) for v in expected if v is not None}) == 1:
        whole = through({"x": array, "timestamp": list(range(len(array)))})
        assert typed(whole["x"]) == typed(expected)


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda a: a[::2], id="step-2"),
        pytest.param(lambda a: a[::-1], id="reversed"),
        pytest.param(lambda a: a.reshape(4, 3)[:, 1], id="column-of-2d"),
        pytest.param(lambda a: np.asfortranarray(a.reshape(3, 4))[1], id="row-of-fortran"),
    ],
)
@pytest.mark.parametrize(
    "dtype", [np.int16, np.int64, np.float32, np.float64, np.bool_, "U3"],
    ids=["int16", "int64", "float32", "float64", "bool", "U3"],
)
def test_strided_numpy_arrays_read_like_their_items(make, dtype):
    column = make(np.arange(12).astype(dtype) if dtype is not np.bool_ else np.arange(12) % 3 == 0)
    assert column.strides[0] != column.itemsize  # not contiguous
    expected = column.tolist()
    result = through({"x": column, "timestamp": list(range(len(column)))})
    assert typed(result["x"]) == typed(expected)


def test_numpy_columns_feed_filters_and_windows_as_numbers():
    n = 100
    columns = {
        "timestamp": np.arange(n, dtype=np.int64) * 100,
        "g": np.array(["a", "b"] * (n // 2)),
        "v": np.arange(n, dtype=np.float64),
        "flag": np.arange(n) % 2 == 0,
    }
    plan = windowed_plan(seconds=5, by="g", filters=[flt("v", ">=", 10), flt("flag", "==", True)])
    result, s = run_closed(columns=columns, plan=plan)
    # Only even v (group a) from 10 on; windows of 50 events: [0,5000)
    # closes, [5000,10000) is flushed by the next call.
    assert result == {"avg": [29.0], "count": [20], "g": ["a"], "window_end": [5000], "window_start": [0]}
    flushed = s.next_batch(plan, 0)
    assert flushed == {"avg": [74.0], "count": [25], "g": ["a"], "window_end": [10000], "window_start": [5000]}


# --- output column typing ------------------------------------------------


@pytest.mark.parametrize(
    "values, expected",
    [
        pytest.param([1, 2.5], [1.0, 2.5], id="int-and-float-give-float"),
        pytest.param([2.5, 1], [2.5, 1.0], id="float-and-int-give-float"),
        pytest.param([1, "x"], ["1", "x"], id="int-and-text"),
        pytest.param([True, 1], ["true", "1"], id="bool-and-int"),
        pytest.param([1.5, False], ["1.5", "false"], id="float-and-bool"),
        pytest.param([1, 2.5, "x"], ["1", "2.5", "x"], id="text-wins"),
        pytest.param(["x", 1, 2.5], ["x", "1", "2.5"], id="text-first"),
        pytest.param([1e7, 1], [10000000.0, 1.0], id="float-column-keeps-value"),
        pytest.param([1e7, "x"], ["1e+07", "x"], id="text-column-six-digits"),
        pytest.param([3.14159265, math.inf, -0.0, "x"], ["3.14159", "inf", "-0", "x"], id="float-texts"),
        pytest.param([2**63 - 1, -(2**63)], [2**63 - 1, -(2**63)], id="int64-limits"),
        pytest.param([2**63 - 1, 0.5], [float(2**63 - 1), 0.5], id="int-as-nearest-double"),
        pytest.param([True, False], [True, False], id="bools"),
        pytest.param(["", "é"], ["", "é"], id="texts"),
    ],
)
def test_one_type_per_output_column(values, expected):
    events = [{"a": v, "timestamp": i} for i, v in enumerate(values)]
    assert typed(through_rows(events)["a"]) == typed(expected)


@pytest.mark.parametrize(
    "values, expected",
    [
        pytest.param([None, 1], [None, 1], id="null-then-int"),
        pytest.param([1, None], [1, None], id="int-then-null"),
        pytest.param([None, True], [None, True], id="null-then-bool"),
        pytest.param([None, 1, 2.5], [None, 1.0, 2.5], id="null-then-numbers"),
        pytest.param([None, "x"], [None, "x"], id="null-then-text"),
        pytest.param([None, None], [None, None], id="only-nulls"),
        pytest.param([1, None, "x"], ["1", None, "x"], id="null-between"),
    ],
)
def test_nulls_never_decide_a_column_type(values, expected):
    events = [{"a": v, "timestamp": i} for i, v in enumerate(values)]
    assert typed(through_rows(events)["a"]) == typed(expected)


def test_missing_fields_are_none_and_keys_come_in_byte_order():
    events = [{"b": 2, "timestamp": 1}, {"a": 1, "B": "x", "timestamp": 2}]
    result = through_rows(events)
    assert result == {"B": [None, "x"], "a": [None, 1], "b": [2, None], "timestamp": [1, 2]}
    assert list(result) == ["B", "a", "b", "timestamp"]


def test_fields_of_rows_with_different_shapes_line_up():
    events = [
        {"a": 1, "c": 3, "timestamp": 1},
        {"b": 2, "timestamp": 2},
        {"a": 4, "b": 5, "c": 6, "d": 7, "timestamp": 3},
        {"timestamp": 4},
    ]
    assert through_rows(events) == {
        "a": [1, None, 4, None],
        "b": [None, 2, 5, None],
        "c": [3, None, 6, None],
        "d": [None, None, 7, None],
        "timestamp": [1, 2, 3, 4],
    }


def test_output_is_new_lists_in_a_new_dict():
    result = through({"x": [1, 2], "timestamp": [1, 2]})
    assert type(result) is dict and all(type(v) is list for v in result.values())


def test_field_names_that_are_not_utf8_stay_distinct():
    # Names given as bytes in a plan can be any bytes; so can the alias of
    # a mean, which becomes an output field name. They decode with the
    # surrogateescape handler, so each encodes back to its bytes.
    events = [{"v": 2, "timestamp": 1}, {"v": 4, "timestamp": 1000}]
    plan = windowed_plan(seconds=1, alias=b"m\xff\xfez")
    result, _ = run_closed(events, plan)
    assert result["m\udcff\udcfez"] == [2.0]
    result, _ = run_closed([{"x": 1, "timestamp": 1}], full_plan(select=[b"\xc3", "\ufffd", "x"]))
    assert result == {"x": [1], "\udcc3": [None], "\ufffd": [None]}
    assert [name.encode("utf-8", "surrogateescape") for name in result] == [b"x", b"\xc3", "\ufffd".encode()]

def test_many_distinct_names_in_rows_and_in_one_dict():
    """Rows with thousands of distinct field names, and one dict of 10,000
    keys in descending order (two keys with one text form among them):
    linear in names both ways, and the same dict Python builds."""
    import random

    rng = random.Random(3)
    events = [{f"f{rng.randrange(5000):04d}": i, "timestamp": i} for i in range(300)]
    big = {f"g{i:05d}": i for i in range(10_000, 0, -1)} | {1: "int key", "1": "str key", "timestamp": 10**6}
    result = through_rows(events + [big])
    rows = [{k: v for k, v in e.items()} for e in events] + [{str(k): v for k, v in big.items()}]
    names = sorted({name for row in rows for name in row})
    assert list(result) == names
    assert result == {name: [row.get(name) for row in rows] for name in names}
    assert result["1"][-1] == "str key"  # the later of two keys with the same text wins
