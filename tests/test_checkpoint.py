"""Checkpoint files: the exact format, the reader's tolerance, atomic saves.

One module for the one component, as the suite keeps them (about 760 lines,
most of them tables of file texts and their readings)."""

import math
import re
import os
import random
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import plans

from _ravik import NativeStream

INIT = b"-9223372036854775808"
FRESH = (
    b"max_event_time\t" + INIT + b"\n"
    b"window_origin\t" + INIT + b"\n"
    b"seen_event_ids\t0\n"
    b"window_state\t0\n"
)
TEMP_PREFIX = ".ravik-checkpoint-"

# Saves and loads interleave with emits, the worker's cuts and pulls.
pytestmark = pytest.mark.concurrency


def make_plan(**overrides):
    return plans.make_plan(**{"drop_late": True, **overrides})


def windowed_plan(by="g", watermark_ms=10**12, seconds=1):
    """Windows keyed by `by`; the huge watermark keeps every window open."""
    return make_plan(
        window={"seconds": seconds, "by": by, "time_field": "timestamp"},
        mean={"field": "v", "alias": "avg"},
        watermark_ms=watermark_ms,
        event_id_field="id",
    )


PASS_THROUGH = make_plan(event_id_field="id", drop_late=False)


@pytest.fixture
def streams():
    made = []

    def make():
        s = NativeStream.manual(100000, 0, 100000)
        made.append(s)
        return s

    yield make
    for s in made:
        s.close()


def process(stream, columns, plan):
    """Emits the columns as one batch and returns once that batch went
    through next_batch; gives back every non-empty result."""
    before = stream.stats()["microbatches_emitted"]
    stream.emit_columns(columns)
    results = []
    deadline = time.monotonic() + 10
    while True:
        cut = stream.stats()["microbatches_emitted"] > before
        out = stream.next_batch(plan, 20)
        if out is not None:
            results.append(out)
        if cut:
            return results
        assert time.monotonic() < deadline, "batch was never cut"


def flush(stream, plan):
    """Closes the stream and returns its open windows as rows, in key order."""
    stream.close()
    out = stream.next_batch(plan, 0)
    if out is None:
        return []
    names = list(out)
    return [dict(zip(names, values)) for values in zip(*out.values())]


def saved(stream, path):
    stream.save_checkpoint(str(path))
    return path.read_bytes()


def resaved(stream, tmp_path, text):
    """Loads `text` and returns the file the loaded state saves as."""
    src = tmp_path / "in.ckpt"
    src.write_bytes(text)
    stream.load_checkpoint(str(src))
    return saved(stream, tmp_path / "out.ckpt")


def temp_leftovers(directory):
    return [n for n in os.listdir(directory) if n.startswith(TEMP_PREFIX)]


def state_text(max_event_time=INIT, window_origin=INIT, ids=(), windows=()):
    """The canonical file of a state; windows are (key, sum, count, start, end, group)."""
    out = [b"max_event_time\t" + max_event_time + b"\n", b"window_origin\t" + window_origin + b"\n"]
    ids = sorted(set(ids))
    out.append(b"seen_event_ids\t%d\n" % len(ids))
    out += [i + b"\n" for i in ids]
    by_key = {}
    for w in windows:
        by_key[w[0]] = w
    out.append(b"window_state\t%d\n" % len(by_key))
    out += [b"\t".join(by_key[k]) + b"\n" for k in sorted(by_key)]
    return b"".join(out)


# A state built by processing: ids out of byte order, a negative start, an
# empty group, a group with a space and sums that need more than 6 digits.
BUILT_EVENTS = {
    "id": ["b", "a", "10", "9", "\u00e4", None],
    "timestamp": [5000, 5500, -1500, 10000, 10001, 200],
    "g": ["eu", "eu", "new york", "eu", "eu", None],
    "v": [1.5, 2.0, 1234567.89, 0.1, 0.2, 7],
}
BUILT_FILE = state_text(
    max_event_time=b"10001",
    ids=[b"10", b"9", b"a", b"b", "\u00e4".encode()],
    windows=[
        (b"-2000|new york", b"1234567.89", b"1", b"-2000", b"-1000", b"new york"),
        (b"0|", b"7", b"1", b"0", b"1000", b""),
        (b"10000|eu", b"0.30000000000000004", b"2", b"10000", b"11000", b"eu"),
        (b"5000|eu", b"3.5", b"2", b"5000", b"6000", b"eu"),
    ],
)


@pytest.mark.parametrize("closed", [False, True], ids=["running", "closed"])
def test_fresh_stream_writes_the_four_initial_lines(streams, tmp_path, closed):
    s = streams()
    if closed:
        s.close()
    assert saved(s, tmp_path / "c.ckpt") == FRESH
    assert s.stats()["checkpoint_saves"] == 1


def test_processed_state_is_written_in_byte_order_with_exact_sums(streams, tmp_path):
    s = streams()
    assert process(s, BUILT_EVENTS, windowed_plan()) == []
    assert saved(s, tmp_path / "c.ckpt") == BUILT_FILE


def build_ids_and_passthrough(s):
    process(s, {"id": ["x", " padded ", "x", "", "z"], "timestamp": [3, 1, 2, 4, -5]}, PASS_THROUGH)


def build_windows(s):
    process(s, BUILT_EVENTS, windowed_plan())


def build_negative_starts(s):
    process(
        s,
        {"id": ["n1", "n2", "n3", "n4"], "timestamp": [-1500, -2500, -1, -999999999], "v": [1, 2, 3, 1e-5]},
        windowed_plan(by=None),
    )


def build_epoch_origin(s):
    t0 = 1700000000123
    process(
        s,
        {"timestamp": [t0, t0 + 1500, t0 - 2500], "g": ["a b", "a b", ""], "v": [0.0001, 1e6, -3.25]},
        windowed_plan(seconds=2),
    )


def build_loaded_oddities(s, tmp_path):
    # Values the processing path does not produce: a group with a TAB under
    # a TAB-free key, non-finite and subnormal sums, a zero count, a negative
    # zero, extreme integers.
    text = state_text(
        max_event_time=b"9223372036854775807",
        window_origin=b"-1",
        ids=[b"", b" ", b"\r", b"\x01\xff"],
        windows=[
            (b"k", b"2.5", b"18446744073709551615", b"-9223372036854775808", b"9223372036854775807", b"a\tb"),
            (b"inf", b"inf", b"1", b"0", b"1", b""),
            (b"m", b"-inf", b"0", b"0", b"1", b" x "),
            (b"n", b"nan", b"3", b"0", b"1", b"g"),
            (b"o", b"-nan", b"3", b"0", b"1", b"g"),
            (b"p", b"-0", b"1", b"0", b"1", b"g"),
            (b"q", b"4.94066e-324", b"1", b"0", b"1", b"g"),
            (b"r", b"1.7976931348623157e+308", b"1", b"0", b"1", b"g"),
        ],
    )
    assert resaved(s, tmp_path, text) == text


@pytest.mark.parametrize(
    "build",
    [build_ids_and_passthrough, build_windows, build_negative_starts, build_epoch_origin, "loaded"],
    ids=["ids", "windows-and-groups", "negative-starts", "epoch-origin", "loaded-oddities"],
)
def test_save_load_save_is_byte_identical(streams, tmp_path, build):
    first = streams()
    if build == "loaded":
        build_loaded_oddities(first, tmp_path)
    else:
        build(first)
    original = saved(first, tmp_path / "first.ckpt")
    assert original != FRESH
    second = streams()
    second.load_checkpoint(str(tmp_path / "first.ckpt"))
    assert saved(second, tmp_path / "second.ckpt") == original
    assert second.stats()["open_windows"] == first.stats()["open_windows"]
    assert second.stats()["seen_event_ids"] == first.stats()["seen_event_ids"]


@pytest.mark.parametrize(
    "value, text",
    [
        (2.5, b"2.5"),
        (100000.0, b"100000"),
        (1000000.0, b"1e+06"),
        (1234567.89, b"1234567.89"),
        (0.0001, b"0.0001"),
        (0.00001, b"1e-05"),
        (0.0, b"0"),
        (-1.0 / 3.0, b"-0.3333333333333333"),
        (1e300, b"1e+300"),
        (123456789012345680.0, b"1.2345678901234568e+17"),
    ],
    ids=lambda v: repr(v),
)
def test_sum_is_written_in_the_shortest_exact_general_form(streams, tmp_path, value, text):
    s = streams()
    process(s, {"timestamp": [0], "v": [value]}, windowed_plan(by=None))
    content = saved(s, tmp_path / "c.ckpt")
    assert content.endswith(b"window_state\t1\n0|\t" + text + b"\t1\t0\t1000\t\n")
    restored = streams()
    restored.load_checkpoint(str(tmp_path / "c.ckpt"))
    [row] = flush(restored, windowed_plan(by=None))
    assert row["avg"] == value and row["count"] == 1


def test_six_digit_sums_still_load_and_stay_stable(streams, tmp_path):
    six = state_text(windows=[(b"0|", b"1.23457e+06", b"1", b"0", b"1000", b"")])
    s = streams()
    assert resaved(s, tmp_path, six) == six
    [row] = flush(s, windowed_plan(by=None))
    assert row["avg"] == 1234570.0


def test_nan_window_survives_a_restart(streams, tmp_path):
    s = streams()
    process(s, {"timestamp": [100, 200], "g": ["x", "x"], "v": [math.nan, math.nan]}, windowed_plan())
    s.save_checkpoint(str(tmp_path / "c.ckpt"))
    restored = streams()
    restored.load_checkpoint(str(tmp_path / "c.ckpt"))
    [row] = flush(restored, windowed_plan())
    assert math.isnan(row["avg"])
    assert (row["count"], row["window_start"], row["window_end"], row["g"]) == (2, 0, 1000, "x")


def win(key, s=b"0", count=b"0", start=b"0", end=b"0", group=b""):
    return (key, s, count, start, end, group)


HEAD = b"max_event_time\t5\nwindow_origin\t6\n"

# (file text, the canonical file of the state it loads as)
READER_CASES = [
    ("empty-file", b"", FRESH),
    ("only-whitespace", b" \n\t\r\n", FRESH),
    ("other-labels", b"a\t5\nb\t6\nc\t1\nid\nd\t0\n", state_text(b"5", b"6", [b"id"])),
    ("labels-may-look-like-numbers", b"1 5\n2 6\n3 0\n4 0", state_text(b"5", b"6")),
    (
        "whitespace-before-labels-and-numbers",
        b"\n\n  max_event_time \t\v\f 5\r\n\twindow_origin\n\n-6\nseen_event_ids  1  \nid\n\n window_state \n 1\nk\t1\t2\t3\t4\tg\n",
        state_text(b"5", b"-6", [b"id"], [win(b"k", b"1", b"2", b"3", b"4", b"g")]),
    ),
    ("plus-signs", b"m +5 o +6 n +0\nw +0\n", state_text(b"5", b"6")),
    ("leading-zeros", b"m 007 o -0006 n 0\nw 0\n", state_text(b"7", b"-6")),
    (
        "id-lines-kept-verbatim-and-collapsed",
        HEAD + b"seen_event_ids\t4 trailing text is discarded\n  a \na\t\n  a \n\nwindow_state\t0\n",
        state_text(b"5", b"6", [b"  a ", b"a\t", b""]),
    ),
    (
        "id-count-beyond-the-id-lines",
        HEAD + b"seen_event_ids\t5\na\nwindow_state\t1\nk\t1\t1\t0\t1\tg\n",
        state_text(b"5", b"6", [b"a", b"window_state\t1", b"k\t1\t1\t0\t1\tg", b""]),
    ),
    (
        "id-count-beyond-the-end-without-final-lf",
        HEAD + b"seen_event_ids\t5\na\nb",
        state_text(b"5", b"6", [b"a", b"b"]),
    ),
    ("id-count-line-is-the-last", HEAD + b"seen_event_ids\t2\n", state_text(b"5", b"6", [b""])),
    ("id-count-at-end-without-lf", HEAD + b"seen_event_ids\t2", state_text(b"5", b"6")),
    (
        "id-count-minus-wraps-to-one",
        HEAD + b"seen_event_ids\t-4294967295\na\nwindow_state\t1\nk\t1\t1\t0\t1\tg\n",
        state_text(b"5", b"6", [b"a"], [win(b"k", b"1", b"1", b"0", b"1", b"g")]),
    ),
    (
        "id-count-minus-one-takes-everything",
        HEAD + b"seen_event_ids\t-1\na\nwindow_state\t0\n",
        state_text(b"5", b"6", [b"a", b"window_state\t0", b""]),
    ),
    (
        "id-count-out-of-range-empties-the-rest",
        HEAD + b"seen_event_ids\t4294967296\na\nwindow_state\t1\nk\t1\t1\t0\t1\tg\n",
        state_text(b"5", b"6"),
    ),
    (
        "id-count-not-a-number-empties-the-rest",
        HEAD + b"seen_event_ids\tmany\na\nwindow_state\t1\nk\t1\t1\t0\t1\tg\n",
        state_text(b"5", b"6"),
    ),
    (
        "mark-not-a-number-reads-zero-and-stops",
        b"max_event_time\tsoon\nwindow_origin\t6\nseen_event_ids\t1\na\nwindow_state\t0\n",
        state_text(b"0"),
    ),
    ("mark-overflow-reads-the-limit", b"m 9223372036854775808 o 6 n 1\na\n", state_text(b"9223372036854775807")),
    ("mark-underflow-reads-the-limit", b"m 5 o -9223372036854775809 n 1\na\n", state_text(b"5")),
    # ".5" is then read as the next label and "o" as window_origin.
    ("mark-with-a-fraction-stops-at-the-point", b"m 5.5 o 6 n 0 w 0\n", state_text(b"5", b"0")),
    ("mark-missing-at-the-end", b"max_event_time\t5\nwindow_origin\n", state_text(b"5")),
    ("window-count-missing", HEAD + b"seen_event_ids\t1\na\n", state_text(b"5", b"6", [b"a"])),
    (
        "window-count-out-of-range",
        HEAD + b"seen_event_ids\t0\nwindow_state\t4294967296\nk\t1\t1\t0\t1\tg\n",
        state_text(b"5", b"6"),
    ),
    (
        "window-count-beyond-the-lines",
        HEAD + b"seen_event_ids\t0\nwindow_state\t3\nk\t1\t1\t0\t1\tg\n",
        state_text(b"5", b"6", [], [win(b"k", b"1", b"1", b"0", b"1", b"g"), win(b"")]),
    ),
    (
        "window-count-minus-one-without-final-lf",
        HEAD + b"seen_event_ids\t0\nwindow_state\t-1\nk\t1\t1\t0\t1\tg",
        state_text(b"5", b"6", [], [win(b"k", b"1", b"1", b"0", b"1", b"g")]),
    ),
    (
        "later-line-for-a-key-wins",
        HEAD + b"seen_event_ids\t0\nwindow_state\t2\nk\t1\t1\t0\t1\tfirst\nk\t2\t2\t5\t6\t\n",
        state_text(b"5", b"6", [], [win(b"k", b"2", b"2", b"5", b"6")]),
    ),
    (
        "window-lines-parsed-each-on-its-own",
        HEAD + b"seen_event_ids\t0\nwindow_state\t3\nbad\tx\t1\t1\t1\tg\nno-tab-at-all\ngood\t1\t2\t3\t4\tg\n",
        state_text(
            b"5", b"6", [], [win(b"bad"), win(b"no-tab-at-all"), win(b"good", b"1", b"2", b"3", b"4", b"g")]
        ),
    ),
]


def window_case(name, line, window):
    text = HEAD + b"seen_event_ids\t0\nwindow_state\t1\n" + line + b"\n"
    return (name, text, state_text(b"5", b"6", [], [window]))


READER_CASES += [
    window_case("group-keeps-tabs", b"k\t1\t1\t0\t1\ta\t\tb\t", win(b"k", b"1", b"1", b"0", b"1", b"a\t\tb\t")),
    window_case("empty-key", b"\t1\t1\t0\t1\tg", win(b"", b"1", b"1", b"0", b"1", b"g")),
    window_case("one-byte-skipped-between-numbers", b"k\t2.5x3y4z5|grp", win(b"k", b"2.5", b"3", b"4", b"5", b"grp")),
    window_case("whitespace-before-numbers", b"k\t \v2.5\t \t3\t  -4\t\r5\t g ", win(b"k", b"2.5", b"3", b"-4", b"5", b" g ")),
    window_case("line-ends-after-the-sum", b"k\t2.5", win(b"k", b"2.5")),
    window_case("line-ends-after-end", b"k\t2.5\t1\t2\t3", win(b"k", b"2.5", b"1", b"2", b"3")),
    window_case("sum-not-a-number", b"k\tabc\t3\t0\t1\tg", win(b"k")),
    window_case("sum-plus-inf-is-not-a-number", b"k\t+inf\t3\t0\t1\tg", win(b"k")),
    window_case("sum-fraction-forms", b"k\t.5\t1\t0\t1\tg", win(b"k", b"0.5", b"1", b"0", b"1", b"g")),
    window_case("sum-trailing-point", b"k\t5.\t1\t0\t1\tg", win(b"k", b"5", b"1", b"0", b"1", b"g")),
    window_case("sum-exponent", b"k\t-25E-1\t1\t0\t1\tg", win(b"k", b"-2.5", b"1", b"0", b"1", b"g")),
    window_case("sum-dangling-exponent", b"k\t1e\t1\t0\t1\tg", win(b"k")),
    window_case("sum-dangling-exponent-sign", b"k\t1e+\t1\t0\t1\tg", win(b"k")),
    window_case("sum-overflow-reads-the-limit", b"k\t-1e400\t1\t0\t1\tg", win(b"k", b"-1.7976931348623157e+308")),
    window_case("sum-underflow-reads-zero", b"k\t1e-400\t1\t0\t1\tg", win(b"k", b"0", b"1", b"0", b"1", b"g")),
    window_case("sum-hex-reads-the-zero", b"k\t0x10\t1\t0\t1\tg", win(b"k", b"0", b"10", b"1", b"0", b"1\tg")),
    window_case("count-minus-wraps", b"k\t1\t-1\t0\t1\tg", win(b"k", b"1", b"18446744073709551615", b"0", b"1", b"g")),
    window_case("count-overflow-reads-the-limit", b"k\t1\t18446744073709551616\t0\t1\tg",
                win(b"k", b"1", b"18446744073709551615")),
    window_case("start-overflow-reads-the-limit", b"k\t1\t1\t9223372036854775808\t1\tg",
                win(b"k", b"1", b"1", b"9223372036854775807")),
    window_case("end-not-a-number", b"k\t1\t1\t0\t-\tg", win(b"k", b"1", b"1", b"0", b"0")),
    window_case("non-finite-sums", b"k\t-nan\t1\t0\t1\tg", win(b"k", b"-nan", b"1", b"0", b"1", b"g")),
]


# Content that is not a whole checkpoint (a file cut short, sections holding
# fewer or more records than the header counts, a header or window field that
# is missing or not a number in range) is refused, naming the cause.
REFUSED = {
    "id-count-beyond-the-id-lines": "cut short: 3 of 5 event ids",
    "id-count-beyond-the-end-without-final-lf": "cut short: 1 of 5 event ids",
    "id-count-line-is-the-last": "cut short: 0 of 2 event ids",
    "id-count-at-end-without-lf": "cut short: 0 of 2 event ids",
    "id-count-minus-one-takes-everything": "cut short: 2 of 4294967295 event ids",
    "id-count-out-of-range-empties-the-rest": "count of event ids missing or not a number",
    "id-count-not-a-number-empties-the-rest": "count of event ids missing or not a number",
    "mark-not-a-number-reads-zero-and-stops": "max_event_time missing or not a number",
    "mark-overflow-reads-the-limit": "max_event_time missing or not a number",
    "mark-underflow-reads-the-limit": "window_origin missing or not a number",
    "mark-with-a-fraction-stops-at-the-point": "window_origin missing or not a number",
    "mark-missing-at-the-end": "window_origin missing or not a number",
    "window-count-missing": "cut short: no window section",
    "window-count-out-of-range": "count of windows missing or not a number",
    "window-count-beyond-the-lines": "cut short: 1 of 3 windows",
    "window-count-minus-one-without-final-lf": "cut short: 0 of 4294967295 windows",
    "window-lines-parsed-each-on-its-own": "window 1 is malformed",
    **{name: "window 1 is malformed" for name in [
        "line-ends-after-the-sum", "line-ends-after-end", "sum-not-a-number", "sum-plus-inf-is-not-a-number",
        "sum-dangling-exponent", "sum-dangling-exponent-sign", "sum-overflow-reads-the-limit",
        "count-overflow-reads-the-limit", "start-overflow-reads-the-limit", "end-not-a-number"]},
}
FULL = state_text(b"5", b"6", [b"a", b"b"], [win(b"0|g", b"2.5", b"1", b"0", b"1000", b"g"),
                                            win(b"1000|g", b"1", b"1", b"1000", b"2000", b"g")])
REFUSED_CASES = [c[:2] + (REFUSED[c[0]],) for c in READER_CASES if c[0] in REFUSED] + [
    # A whole checkpoint cut at every byte: each shorter file is refused.
    *[(f"cut-at-{n}", FULL[:n], None) for n in range(1, len(FULL))],
    ("window-line-without-its-lf", FULL[:-1], "cut short: 1 of 2 windows"),
    ("a-record-more-than-counted", FULL + b"1000|h\t1\t1\t1000\t2000\th\n", "more lines than its header counts"),
    ("one-id-more-than-counted", FULL.replace(b"seen_event_ids\t2", b"seen_event_ids\t1"),
     "count of windows missing or not a number"),
]
READER_CASES = [c for c in READER_CASES if c[0] not in REFUSED]


@pytest.mark.parametrize("text, cause", [c[1:] for c in REFUSED_CASES], ids=[c[0] for c in REFUSED_CASES])
def test_content_that_is_not_a_whole_checkpoint_is_refused(streams, tmp_path, text, cause):
    s = streams()
    process(s, {"id": ["old"], "timestamp": [99], "v": [1]}, windowed_plan(by=None))
    before = tmp_path / "before.ckpt"
    s.save_checkpoint(str(before))
    path = tmp_path / "cut.ckpt"
    path.write_bytes(text)
    with pytest.raises(RuntimeError, match="^read checkpoint failed: " + re.escape(cause or "")):
        s.load_checkpoint(str(path))
    s.save_checkpoint(str(tmp_path / "after.ckpt"))
    assert (tmp_path / "after.ckpt").read_bytes() == before.read_bytes()  # the state is untouched
    assert s.stats()["checkpoint_loads"] == 0


@pytest.mark.parametrize("text, expected", [c[1:] for c in READER_CASES], ids=[c[0] for c in READER_CASES])
def test_reader_tolerance(streams, tmp_path, text, expected):
    s = streams()
    # Something to replace: nothing of this state may survive the load.
    process(s, {"id": ["old"], "timestamp": [99], "v": [1]}, windowed_plan(by=None))
    assert resaved(s, tmp_path, text) == expected
    stats = s.stats()
    assert stats["checkpoint_loads"] == 1
    lines = expected.split(b"\n")
    ids = int(lines[2].split(b"\t")[1])
    assert (stats["seen_event_ids"], stats["open_windows"]) == (ids, int(lines[3 + ids].split(b"\t")[1]))


def test_crlf_file_keeps_the_cr_in_ids_and_groups(streams, tmp_path):
    text = (
        b"max_event_time\t5\r\nwindow_origin\t6\r\nseen_event_ids\t1\r\nid\r\n"
        b"window_state\t1\r\n0|g\t2.5\t1\t0\t1000\tg\r\n"
    )
    s = streams()
    assert resaved(s, tmp_path, text) == state_text(
        b"5", b"6", [b"id\r"], [win(b"0|g", b"2.5", b"1", b"0", b"1000", b"g\r")]
    )
    # "id" itself was never seen: not a duplicate.
    process(s, {"id": ["id"], "timestamp": [10**6], "v": [1]}, windowed_plan(watermark_ms=10**9))
    assert s.stats()["duplicate_events"] == 0
    rows = flush(s, windowed_plan())
    assert [(r["window_start"], r["g"], r["count"]) for r in rows] == [(0, "g\r", 1), (10**6, "", 1)]


def test_processing_continues_from_a_loaded_state(streams, tmp_path):
    (tmp_path / "c.ckpt").write_bytes(
        BUILT_FILE.replace(b"window_state\t4\n", b"window_state\t5\n7000|eu\t0\t0\t7000\t8000\teu\n")
    )
    s = streams()
    s.load_checkpoint(str(tmp_path / "c.ckpt"))
    plan = windowed_plan(watermark_ms=None)
    plan["allowed_lateness_ms"] = 10000
    # "a" is a loaded id; 0 + 10000 lies before the loaded high mark 10001, so
    # it is late; "c" joins the loaded window 5000|eu; 21000 closes every
    # loaded window.
    [out] = process(
        s,
        {"id": ["a", "late", "c", "d"], "timestamp": [5600, 0, 5700, 21000], "g": ["eu"] * 4, "v": [100, 100, 4.5, 1]},
        plan,
    )
    stats = s.stats()
    assert (stats["duplicate_events"], stats["late_events"]) == (1, 1)
    rows = [dict(zip(out, values)) for values in zip(*out.values())]
    assert [(r["window_start"], r["window_end"], r["g"], r["avg"], r["count"]) for r in rows] == [
        (-2000, -1000, "new york", 1234567.89, 1),
        (0, 1000, "", 7.0, 1),
        (10000, 11000, "eu", (0.1 + 0.2) / 2, 2),
        (5000, 6000, "eu", 8.0 / 3, 3),
    ]  # the loaded 7000|eu, count 0, closed without a row
    assert s.stats()["open_windows"] == 1


def test_loaded_window_origin_aligns_new_windows(streams, tmp_path):
    origin = 1700000000000
    s = streams()
    resaved(s, tmp_path, state_text(b"%d" % origin, b"%d" % origin))
    process(s, {"timestamp": [origin + 1500], "v": [2.0]}, windowed_plan(by=None))
    [row] = flush(s, windowed_plan(by=None))
    assert (row["window_start"], row["avg"]) == (origin + 1000, 2.0)


def test_load_replaces_the_whole_state(streams, tmp_path):
    s = streams()
    process(s, BUILT_EVENTS, windowed_plan())
    (tmp_path / "c.ckpt").write_bytes(state_text(ids=[b"other"]))
    s.load_checkpoint(str(tmp_path / "c.ckpt"))
    assert (s.stats()["seen_event_ids"], s.stats()["open_windows"]) == (1, 0)
    process(s, {"id": ["a", "other"], "timestamp": [1, 2], "v": [1, 1]}, windowed_plan())
    assert s.stats()["duplicate_events"] == 1


def test_save_replaces_a_longer_file_entirely(streams, tmp_path):
    path = tmp_path / "c.ckpt"
    path.write_bytes(BUILT_FILE * 3)
    assert saved(streams(), path) == FRESH


@pytest.mark.parametrize("umask, mode", [(0o022, 0o644), (0o077, 0o600)], ids=["022", "077"])
def test_new_file_mode_follows_the_umask(streams, tmp_path, umask, mode):
    old = os.umask(umask)
    try:
        streams().save_checkpoint(str(tmp_path / "c.ckpt"))
    finally:
        os.umask(old)
    assert os.stat(tmp_path / "c.ckpt").st_mode & 0o777 == mode
    assert os.listdir(tmp_path) == ["c.ckpt"]


def test_bytes_paths_are_taken_byte_for_byte(streams, tmp_path):
    s = streams()
    process(s, {"id": ["p"], "timestamp": [1]}, PASS_THROUGH)
    raw = os.fsencode(tmp_path) + b"/\xff\xfe.ckpt"
    s.save_checkpoint(raw)
    assert os.listdir(os.fsencode(tmp_path)) == [b"\xff\xfe.ckpt"]
    other = streams()
    other.load_checkpoint(bytearray(raw))
    assert other.stats()["seen_event_ids"] == 1
    assert (s.stats()["checkpoint_saves"], other.stats()["checkpoint_loads"]) == (1, 1)


def test_path_is_positional_only(streams, tmp_path):
    s = streams()
    with pytest.raises(TypeError):
        s.save_checkpoint(path=str(tmp_path / "c.ckpt"))
    with pytest.raises(TypeError):
        s.load_checkpoint(path=str(tmp_path / "c.ckpt"))
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize("where", ["missing-directory", "is-a-directory"])
def test_unwritable_path_fails_without_counting(streams, tmp_path, where):
    s = streams()
    target = tmp_path / "missing" / "c.ckpt" if where == "missing-directory" else tmp_path / "dir"
    if where == "is-a-directory":
        target.mkdir()
        (target / "inside").write_bytes(b"keep")
    with pytest.raises(RuntimeError, match="^write checkpoint failed$"):
        s.save_checkpoint(str(target))
    assert s.stats()["checkpoint_saves"] == 0
    assert temp_leftovers(tmp_path) == []
    if where == "is-a-directory":
        assert os.listdir(target) == ["inside"]


@pytest.mark.parametrize("where", ["missing-file", "missing-directory", "is-a-directory"])
def test_unreadable_path_fails_and_keeps_the_state(streams, tmp_path, where):
    s = streams()
    process(s, {"id": ["kept"], "timestamp": [1]}, PASS_THROUGH)
    target = {
        "missing-file": tmp_path / "none.ckpt",
        "missing-directory": tmp_path / "none" / "c.ckpt",
        "is-a-directory": tmp_path,
    }[where]
    with pytest.raises(RuntimeError, match="^read checkpoint failed$"):
        s.load_checkpoint(str(target))
    assert (s.stats()["checkpoint_loads"], s.stats()["seen_event_ids"]) == (0, 1)


@pytest.mark.parametrize(
    "events, plan",
    [
        ({"id": ["a\nb"], "timestamp": [1]}, PASS_THROUGH),
        ({"timestamp": [1], "g": ["x\ny"], "v": [1]}, windowed_plan()),
        ({"timestamp": [1], "g": ["x\ty"], "v": [1]}, windowed_plan()),
    ],
    ids=["lf-in-id", "lf-in-group", "tab-in-key"],
)
def test_unrepresentable_state_is_refused_before_the_file_is_touched(streams, tmp_path, events, plan):
    s = streams()
    path = tmp_path / "c.ckpt"
    s.save_checkpoint(str(path))
    process(s, events, plan)
    with pytest.raises(RuntimeError, match="^checkpoint cannot store line breaks or tabs in ids or keys$"):
        s.save_checkpoint(str(path))
    assert path.read_bytes() == FRESH
    assert s.stats()["checkpoint_saves"] == 1
    assert os.listdir(tmp_path) == ["c.ckpt"]


def test_successful_saves_and_loads_count_one_each(streams, tmp_path):
    s = streams()
    for i in range(3):
        s.save_checkpoint(str(tmp_path / "c.ckpt"))
        s.load_checkpoint(str(tmp_path / "c.ckpt"))
        assert (s.stats()["checkpoint_saves"], s.stats()["checkpoint_loads"]) == (i + 1, i + 1)
    assert os.listdir(tmp_path) == ["c.ckpt"]


@pytest.fixture
def tiny_fs(tmp_path):
    mount_point = tmp_path / "tiny"
    mount_point.mkdir()
    if os.geteuid() != 0:
        pytest.skip("mounting a small tmpfs needs root")
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(mount_point)],
                          capture_output=True)
    if done.returncode != 0:
        pytest.skip("cannot mount a tmpfs here: " + done.stderr.decode(errors="replace").strip())
    try:
        yield mount_point
    finally:
        subprocess.run(["umount", str(mount_point)], check=True)


def test_save_onto_a_full_file_system_keeps_the_previous_file(streams, tiny_fs):
    s = streams()
    target = tiny_fs / "c.ckpt"
    s.save_checkpoint(str(target))
    process(s, {"id": ["id-%06d" % i for i in range(20000)], "timestamp": list(range(20000))}, PASS_THROUGH)
    with pytest.raises(RuntimeError, match="^write checkpoint failed$"):
        s.save_checkpoint(str(target))
    assert target.read_bytes() == FRESH
    assert s.stats()["checkpoint_saves"] == 1
    assert os.listdir(tiny_fs) == ["c.ckpt"]
    # The failed save left nothing behind that would keep the disk full.
    s.load_checkpoint(str(target))
    process(s, {"id": ["small"], "timestamp": [1]}, PASS_THROUGH)
    s.save_checkpoint(str(target))
    assert target.read_bytes() == state_text(ids=[b"small"], max_event_time=b"1")


CRASH_CHILD = textwrap.dedent(
    """
    import sys
    from _ravik import NativeStream
    base, target = sys.argv[1], sys.argv[2]
    plan = dict(filters=[], select=None, window=None, mean=None, watermark_ms=None,
                allowed_lateness_ms=None, event_id_field="id", drop_late=False)
    s = NativeStream.manual(1000, 0, 1000)
    s.load_checkpoint(base)
    s.save_checkpoint(target)
    print("ready", flush=True)
    for i in range(10**6):
        s.emit_json({"id": "gen-%07d" % i, "timestamp": 10**7 + i})
        while s.next_batch(plan, 1000) is None:
            pass
        s.save_checkpoint(target)
        print(i, flush=True)
    """
)


def test_killed_saver_always_leaves_one_complete_state(tmp_path):
    """A child keeps adding one id and saving a large state; it is killed at
    random moments. The file must always be one whole saved state: the last
    one the child reported or the one it was about to report."""
    base_ids = [b"base-%06d-%s" % (i, b"x" * 20) for i in range(40000)]
    windows = [win(b"%d|g%d" % (i * 1000, i), b"%d.5" % i, b"3", b"%d" % (i * 1000), b"%d" % (i * 1000 + 1000), b"g%d" % i)
               for i in range(2000)]
    base = tmp_path / "base.ckpt"
    base.write_bytes(state_text(b"9000000", ids=base_ids, windows=windows))
    work = tmp_path / "work"
    work.mkdir()
    target = work / "c.ckpt"
    rng = random.Random(5)
    observed = {"saves": 0, "previous": 0, "in_flight": 0, "temp_left": 0}
    deadline = time.monotonic() + 120
    for _ in range(50):
        assert time.monotonic() < deadline
        child = subprocess.Popen([sys.executable, "-c", CRASH_CHILD, str(base), str(target)],
                                 stdout=subprocess.PIPE, text=True)
        assert child.stdout.readline() == "ready\n"
        time.sleep(rng.uniform(0, 0.05))  # a random moment, not a wait for anything
        child.send_signal(signal.SIGKILL)
        child.wait(timeout=10)
        reported = [int(line) for line in child.stdout.read().split()]
        child.stdout.close()
        last = reported[-1] if reported else -1
        observed["saves"] += last + 2

        leftovers = temp_leftovers(work)
        observed["temp_left"] += bool(leftovers)
        for name in leftovers:
            os.unlink(work / name)
        content = target.read_bytes()
        s = NativeStream.manual(1000, 0, 1000)
        try:
            s.load_checkpoint(str(target))
            assert saved(s, tmp_path / "check.ckpt") == content
        finally:
            s.close()
        generated = content.count(b"\ngen-")
        assert generated in (last + 1, last + 2)
        observed["previous" if generated == last + 1 else "in_flight"] += 1
        expected_time = b"9000000" if generated == 0 else b"%d" % (10**7 + generated - 1)
        assert content == state_text(
            expected_time, ids=base_ids + [b"gen-%07d" % i for i in range(generated)], windows=windows
        )
    print("crash test:", observed)


@pytest.mark.parametrize("mode", [0o600, 0o640, 0o444])
def test_saving_over_a_file_keeps_its_permission_bits(streams, tmp_path, mode):
    path = tmp_path / "state.ckpt"
    path.write_bytes(b"old")
    path.chmod(mode)
    old_umask = os.umask(0o022)
    try:
        streams().save_checkpoint(str(path))
    finally:
        os.umask(old_umask)
    assert path.read_bytes() == FRESH and (path.stat().st_mode & 0o777) == mode


def test_saving_through_a_symlink_replaces_the_file_it_names(streams, tmp_path):
    (tmp_path / "real").mkdir()
    (tmp_path / "links").mkdir()
    target = tmp_path / "real" / "state.ckpt"
    target.write_bytes(b"old")
    target.chmod(0o600)
    hop = tmp_path / "links" / "hop"
    hop.symlink_to("../real/state.ckpt")  # relative to the link's own directory
    link = tmp_path / "links" / "state.ckpt"
    link.symlink_to(hop)
    dangling = tmp_path / "links" / "new.ckpt"
    dangling.symlink_to(tmp_path / "real" / "new.ckpt")
    s = streams()
    s.save_checkpoint(str(link))
    s.save_checkpoint(str(dangling))
    assert link.is_symlink() and hop.is_symlink() and dangling.is_symlink()
    assert target.read_bytes() == FRESH and (target.stat().st_mode & 0o777) == 0o600
    assert (tmp_path / "real" / "new.ckpt").read_bytes() == FRESH
    assert sorted(p.name for p in (tmp_path / "real").iterdir()) == ["new.ckpt", "state.ckpt"]  # no temporaries left
