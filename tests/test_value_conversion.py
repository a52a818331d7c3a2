"""Python values and dicts becoming cells and rows (emit_json), and the text
form of cells, observed through the rows that come out of next_batch."""

import collections
import datetime
import decimal
import enum
import locale
import math
import time
import types

import numpy as np
import pytest

from _ravik import NativeStream
from conftest import make_plan

NEVER = 2**64 - 1

CAST_ERROR = (
    "Unable to cast Python instance of type {} to C++ type '?' "
    "(#define PYBIND11_DETAILED_ERROR_MESSAGES or compile in debug mode for details)"
)


def roundtrip(*rows, plan=None):
    """Emits the rows into a fresh stream, closes it (the final cut batches
    them) and returns the pulled column dict."""
    s = NativeStream.manual(64, NEVER, 64)
    try:
        for row in rows:
            s.emit_json(row)
        s.close()
        return s.next_batch(make_plan() if plan is None else plan, 0)
    finally:
        s.close()


def converted(value):
    """The value that a single-field event {'a': value} comes out as."""
    return roundtrip({"a": value})["a"][0]


class Color(enum.IntEnum):
    RED = 3


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    def __str__(self):
        return "not used for values"


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


# --- cell_from_py ------------------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(True, True, id="True"),
        pytest.param(False, False, id="False"),
        pytest.param(None, None, id="None"),
        pytest.param(1, 1, id="int"),
        pytest.param(0, 0, id="zero"),
        pytest.param(-(2**63), -(2**63), id="int-min"),
        pytest.param(2**63 - 1, 2**63 - 1, id="int-max"),
        pytest.param(1.0, 1.0, id="float-integral"),
        pytest.param(-0.25, -0.25, id="float"),
        pytest.param(float("inf"), float("inf"), id="inf"),
        pytest.param("héllo", "héllo", id="str"),
        pytest.param("", "", id="empty-str"),
        pytest.param(Color.RED, 3, id="IntEnum"),
        pytest.param(MyInt(4), 4, id="int-subclass"),
        pytest.param(MyFloat(0.5), 0.5, id="float-subclass"),
        pytest.param(MyStr("own"), "own", id="str-subclass-keeps-its-text"),
        pytest.param(b"xy", "b'xy'", id="bytes"),
        pytest.param(bytearray(b"q"), "bytearray(b'q')", id="bytearray"),
        pytest.param([1, 2], "[1, 2]", id="list"),
        pytest.param((1,), "(1,)", id="tuple"),
        pytest.param({"b": 1}, "{'b': 1}", id="dict"),
        pytest.param(decimal.Decimal("1.50"), "1.50", id="Decimal"),
        pytest.param(datetime.datetime(2020, 1, 2, 3, 4, 5), "2020-01-02 03:04:05", id="datetime"),
        pytest.param(datetime.date(2021, 6, 7), "2021-06-07", id="date"),
        pytest.param(Text("custom"), "custom", id="__str__"),
        pytest.param(1 + 2j, "(1+2j)", id="complex"),
    ],
)
def test_value_conversion(value, expected):
    got = converted(value)
    assert type(got) is type(expected)
    assert got == expected


def test_nan_stays_a_float():
    got = converted(float("nan"))
    assert type(got) is float and math.isnan(got)


NUMPY_INTEGERS = [
    np.int8, np.int16, np.int32, np.int64, np.uint8, np.uint16, np.uint32, np.uint64,
    np.intc, np.uintc, np.longlong, np.ulonglong,
]  # fmt: skip


@pytest.mark.parametrize("kind", NUMPY_INTEGERS, ids=lambda k: k.__name__)
def test_numpy_integers_become_integers(kind):
    got = converted(kind(5))
    assert type(got) is int and got == 5


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(np.int8(-128), -128, id="int8-min"),
        pytest.param(np.int64(-(2**63)), -(2**63), id="int64-min"),
        pytest.param(np.int64(2**63 - 1), 2**63 - 1, id="int64-max"),
        pytest.param(np.uint64(2**63 - 1), 2**63 - 1, id="uint64-in-range"),
        pytest.param(np.uint32(2**32 - 1), 2**32 - 1, id="uint32-max"),
    ],
)
def test_numpy_integer_limits(value, expected):
    got = converted(value)
    assert type(got) is int and got == expected


@pytest.mark.parametrize(
    "value, expected",
    [
        pytest.param(np.bool_(True), True, id="bool_-true"),
        pytest.param(np.bool_(False), False, id="bool_-false"),
        pytest.param(np.float16(0.5), 0.5, id="float16"),
        pytest.param(np.float32(0.5), 0.5, id="float32"),
        pytest.param(np.float32(0.1), float(np.float32(0.1)), id="float32-widened"),
        pytest.param(np.longdouble(0.25), 0.25, id="longdouble"),
        pytest.param(np.float64(0.5), 0.5, id="float64"),
        pytest.param(np.str_("z"), "z", id="str_"),
        pytest.param(np.datetime64("2020-01-01"), "2020-01-01", id="datetime64-via-str"),
        pytest.param(np.timedelta64(5, "ms"), "5 milliseconds", id="timedelta64-via-str"),
    ],
)
def test_other_numpy_scalars(value, expected):
    got = converted(value)
    assert type(got) is type(expected)
    assert got == expected


# --- failures ----------------------------------------------------------------


@pytest.mark.parametrize(
    "row, type_text",
    [
        pytest.param({"a": 2**63}, "<class 'int'>", id="int-2**63"),
        pytest.param({"a": -(2**63) - 1}, "<class 'int'>", id="int-below-min"),
        pytest.param({"a": 2**100}, "<class 'int'>", id="int-huge"),
        pytest.param({"a": MyInt(2**64)}, str(MyInt), id="int-subclass-huge"),
        pytest.param({"a": np.uint64(2**64 - 1)}, "<class 'numpy.uint64'>", id="uint64-max"),
        pytest.param({"a": np.uint64(2**63)}, "<class 'numpy.uint64'>", id="uint64-2**63"),
        pytest.param({"a": "\ud800"}, "<class 'str'>", id="lone-surrogate-value"),
        pytest.param({"\udfff": 1}, "<class 'str'>", id="lone-surrogate-key"),
        pytest.param({Text("\ud800"): 1}, "<class 'str'>", id="key-str-gives-lone-surrogate"),
        pytest.param({"ok": 1, "b": 2**63}, "<class 'int'>", id="later-field-fails"),
    ],
)
def test_unconvertible_values_raise_the_cast_error_and_queue_nothing(row, type_text):
    s = NativeStream.manual(64, NEVER, 64)
    with pytest.raises(RuntimeError) as excinfo:
        s.emit_json(row)
    assert str(excinfo.value) == CAST_ERROR.format(type_text)
    assert s.stats()["ingested"] == 0
    s.close()
    assert s.next_batch(make_plan(), 0) is None


class Raises:
    def __init__(self, error):
        self.error = error

    def __str__(self):
        raise self.error

    def __hash__(self):
        return 1


@pytest.mark.parametrize("where", ["value", "key"])
def test_failing_str_propagates_unchanged_and_queues_nothing(where):
    error = ValueError("no text for you")
    bad = Raises(error)
    row = {"first": 1, "a": bad} if where == "value" else {"first": 1, bad: 1}
    s = NativeStream.manual(64, NEVER, 64)
    s.emit_json({"good": 1})
    with pytest.raises(ValueError) as excinfo:
        s.emit_json(row)
    assert excinfo.value is error
    st = s.stats()
    assert (st["ingested"], st["dropped"]) == (1, 0)
    s.close()
    assert s.next_batch(make_plan(), 0)["good"] == [1]


def test_failed_conversion_leaves_the_dict_unchanged():
    row = {"b": 1, "a": 2**63}
    snapshot = dict(row)
    s = NativeStream.manual(64, NEVER, 64)
    try:
        with pytest.raises(RuntimeError):
            s.emit_json(row)
    finally:
        s.close()
    assert row == snapshot and list(row) == list(snapshot)


# --- dict_to_row -------------------------------------------------------------


@pytest.mark.parametrize(
    "row, field, expected",
    [
        pytest.param({1: "x"}, "1", ["x"], id="int-key"),
        pytest.param({1: "a", "1": "b"}, "1", ["b"], id="int-then-str-key"),
        pytest.param({"1": "a", 1: "b"}, "1", ["b"], id="str-then-int-key"),
        pytest.param({None: 1}, "None", [1], id="None-key"),
        pytest.param({True: 1}, "True", [1], id="bool-key"),
        pytest.param({1.5: 1}, "1.5", [1], id="float-key"),
        pytest.param({(1, 2): 1}, "(1, 2)", [1], id="tuple-key"),
        pytest.param({MyStr("own"): 1}, "not used for values", [1], id="str-subclass-key-uses-str"),
        pytest.param({"ünï": 1}, "ünï", [1], id="non-ascii-key"),
    ],
)
def test_keys_become_the_text_of_str_key(row, field, expected):
    out = roundtrip(row)
    assert set(out) == {field, "timestamp"}
    assert out[field] == expected


def test_empty_dict_gets_the_current_time_as_timestamp():
    before = time.time_ns() // 1_000_000
    out = roundtrip({})
    after = time.time_ns() // 1_000_000
    assert list(out) == ["timestamp"]
    (stamp,) = out["timestamp"]
    assert type(stamp) is int and before <= stamp <= after


@pytest.mark.parametrize(
    "stamp",
    [None, "noon", 5, 2.5, True, -(2**63)],
    ids=["None", "str", "int", "float", "bool", "int-min"],
)
def test_timestamp_from_the_dict_is_kept_as_converted(stamp):
    out = roundtrip({"timestamp": stamp})
    assert list(out) == ["timestamp"]
    assert type(out["timestamp"][0]) is type(stamp)
    assert out["timestamp"] == [stamp]


def test_timestamp_key_written_as_non_str_counts_as_present():
    class Key:
        def __str__(self):
            return "timestamp"

    out = roundtrip({Key(): 7})
    assert out == {"timestamp": [7]}


# --- emit_json binding -------------------------------------------------------


def test_emit_json_accepts_dict_subclasses(manual):
    s = manual(64, NEVER, 64)

    class MyDict(dict):
        pass

    s.emit_json(collections.OrderedDict([("i", 1)]))
    s.emit_json(MyDict(i=2))
    s.close()
    assert s.next_batch(make_plan(), 0)["i"] == [1, 2]


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param(({"i": 1},), {"event": None}, id="extra-keyword"),
        pytest.param((), {"row": {"i": 1}}, id="keyword-row"),
        pytest.param((), {"arg0": {"i": 1}}, id="keyword-placeholder-name"),
        pytest.param((types.MappingProxyType({"i": 1}),), {}, id="MappingProxyType"),
        pytest.param(([("i", 1)],), {}, id="list-of-pairs"),
        pytest.param((None,), {}, id="None"),
        pytest.param((), {}, id="no-argument"),
        pytest.param(({"i": 1}, {"i": 2}), {}, id="two-arguments"),
    ],
)
def test_emit_json_refuses_anything_but_one_positional_dict(manual, args, kwargs):
    s = manual(64, NEVER, 64)
    with pytest.raises(TypeError, match=r"^emit_json\(\): incompatible function arguments"):
        s.emit_json(*args, **kwargs)
    assert s.stats()["ingested"] == 0


def test_emit_json_on_a_closed_stream_still_counts(manual):
    s = manual(64, NEVER, 1)
    s.close()
    s.emit_json({"i": 1})
    s.emit_json({"i": 2})
    st = s.stats()
    assert (st["ingested"], st["dropped"]) == (2, 1)
    assert s.next_batch(make_plan(), 0) is None


# --- the text form of cells --------------------------------------------------

DISPLAY_CASES = [
    pytest.param(0.5, "0.5", id="0.5"),
    pytest.param(100.0, "100", id="100.0"),
    pytest.param(2.0, "2", id="2.0"),
    pytest.param(3.14159265, "3.14159", id="pi-ish"),
    pytest.param(1234567.0, "1.23457e+06", id="1234567.0"),
    pytest.param(1234568.0, "1.23457e+06", id="1234568.0"),
    pytest.param(999999.4, "999999", id="999999.4"),
    pytest.param(999999.5, "1e+06", id="rounds-up-to-e+06"),
    pytest.param(0.0001, "0.0001", id="0.0001"),
    pytest.param(0.00001, "1e-05", id="1e-05"),
    pytest.param(1.5e300, "1.5e+300", id="1.5e300"),
    pytest.param(-2.5, "-2.5", id="-2.5"),
    pytest.param(-0.0, "-0", id="-0.0"),
    pytest.param(0.0, "0", id="0.0"),
    pytest.param(float("inf"), "inf", id="inf"),
    pytest.param(float("-inf"), "-inf", id="-inf"),
    pytest.param(float("nan"), "nan", id="nan"),
    pytest.param(-float("nan"), "-nan", id="-nan"),
    pytest.param(2, "2", id="int-2"),
    pytest.param(-(2**63), "-9223372036854775808", id="int-min"),
    pytest.param(2**63 - 1, "9223372036854775807", id="int-max"),
    pytest.param(True, "true", id="true"),
    pytest.param(False, "false", id="false"),
    pytest.param("", "", id="empty-str"),
]


def text_column(value):
    """A column holding a string and the value shows the value's text form."""
    return roundtrip({"x": "s"}, {"x": value})["x"]


@pytest.mark.parametrize("value, text", DISPLAY_CASES)
def test_text_form_of_cells(value, text):
    assert text_column(value) == ["s", text]


@pytest.fixture
def comma_locale():
    saved = locale.setlocale(locale.LC_ALL)
    try:
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
    except locale.Error:
        pytest.skip("locale de_DE.UTF-8 is not available on this machine")
    try:
        assert locale.localeconv()["decimal_point"] == ","
        yield
    finally:
        locale.setlocale(locale.LC_ALL, saved)


@pytest.mark.parametrize(
    "value, text",
    [
        pytest.param(2.5, "2.5", id="2.5"),
        pytest.param(1234567.0, "1.23457e+06", id="1234567.0"),
        pytest.param(0.0001, "0.0001", id="0.0001"),
        pytest.param(1234.0, "1234", id="1234.0-no-grouping"),
        pytest.param(1234567, "1234567", id="int-no-grouping"),
    ],
)
def test_text_form_ignores_a_comma_decimal_locale(comma_locale, value, text):
    assert text_column(value) == ["s", text]


def test_float_group_key_ignores_a_comma_decimal_locale(comma_locale):
    plan = make_plan(
        window={"seconds": 1, "by": "g", "time_field": "timestamp"},
        mean={"field": "v", "alias": "m"},
    )
    out = roundtrip(
        {"g": 2.5, "v": 1, "timestamp": 1000},
        {"g": "2.5", "v": 3, "timestamp": 1001},
        plan=plan,
    )
    assert out["g"] == ["2.5"]
    assert out["count"] == [2]


def test_float_event_id_ignores_a_comma_decimal_locale(comma_locale):
    out = roundtrip({"id": 2.5, "n": 1}, {"id": "2.5", "n": 2}, plan=make_plan(event_id_field="id"))
    assert out["n"] == [1]  # the second event repeats the id's text 2.5


def through_columns(column):
    s = NativeStream.manual(64, NEVER, 64)
    s.emit_columns({"x": column})
    s.close()
    return s.next_batch(make_plan(), 0)["x"]


@pytest.mark.parametrize(
    "column, expected",
    [
        pytest.param(np.array([5, -2], dtype="m8[ms]"), ["5 milliseconds", "-2 milliseconds"], id="timedelta64"),
        # Subclasses read item by item: a masked value never shows its buffer.
        pytest.param(np.ma.array([1, 2], mask=[0, 1]), ["1", "--"], id="masked-array"),
        pytest.param(np.array([1, 2]).view(type("Tagged", (np.ndarray,), {"__getitem__": lambda self, i: "t"})),
                     ["t", "t"], id="ndarray-subclass-items"),
        pytest.param(np.array([1, 2]), [1, 2], id="exact-ndarray-fast-path"),
    ],
)
def test_columns_convert_as_their_items_do(column, expected):
    assert through_columns(column) == expected


def test_timedelta64_filter_value_compares_as_text(manual):
    s = manual(linger_ms=0)
    s.emit_json({"d": "5 milliseconds"})
    s.close()
    plan = make_plan(filters=[{"field": "d", "op": "==", "value": np.timedelta64(5, "ms")}])
    assert s.next_batch(plan, 0)["d"] == ["5 milliseconds"]
