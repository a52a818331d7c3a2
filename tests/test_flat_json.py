"""The datagram parser, seen through real datagrams on 127.0.0.1: each case is
one datagram and the row it must become, or REJECTED."""

import json
import locale
import random
import time

import pytest

import ravik
from udp_support import SENTINEL, Sender, pull_rows, pull_until_sentinel, udp_stream

# Every case crosses from the worker's receive step to the pulling thread.
pytestmark = pytest.mark.concurrency

REJECTED = object()
NOW = object()  # the "timestamp" the receiver adds: wall-clock milliseconds


def case(data, expected, id):
    return pytest.param(data, expected, id=id)


CASES = [
    # Object shape
    case(b"{}", {"timestamp": NOW}, "empty-object"),
    case(b"{   }", {"timestamp": NOW}, "empty-object-with-spaces"),
    case(b'{"a":1,"b":2.5,"c":"x","d":true,"e":null}',
         {"a": 1, "b": 2.5, "c": "x", "d": True, "e": None, "timestamp": NOW}, "five-scalar-kinds"),
    case(b' \t\r\n{"a":1}\r\n\t ', {"a": 1, "timestamp": NOW}, "surrounding-whitespace-trimmed"),
    case(b'x{"a":1}', REJECTED, "text-before-brace"),
    case(b'\x0b{"a":1}', REJECTED, "vertical-tab-is-not-trimmed"),
    case(b'{"a":1}x', REJECTED, "text-after-brace"),
    case(b"5", REJECTED, "bare-number"),
    case(b'"{}"', REJECTED, "quoted-object"),
    case(b"[1]", REJECTED, "array"),
    case(b"{", REJECTED, "lone-opening-brace"),
    case(b"}", REJECTED, "lone-closing-brace"),
    case(b'{"a":1', REJECTED, "missing-closing-brace"),
    case(b"{ x }", REJECTED, "bare-word-instead-of-key"),
    # Timestamp
    case(b'{"timestamp":1234}', {"timestamp": 1234}, "integer-timestamp-kept"),
    case(b'{"timestamp":"later"}', {"timestamp": "later"}, "string-timestamp-kept"),
    case(b'{"timestamp":1.5}', {"timestamp": 1.5}, "float-timestamp-kept"),
    case(b'{"timestamp":null}', {"timestamp": None}, "null-timestamp-kept"),
    # Member separators
    case(b'{,,"a":1,}', {"a": 1, "timestamp": NOW}, "leading-and-trailing-commas"),
    case(b'{ , "a":1 , }', {"a": 1, "timestamp": NOW}, "commas-among-spaces"),
    case(b'{"a":1,\n"b":2}', REJECTED, "line-feed-between-members"),
    case(b'{"a":1,\t"b":2}', REJECTED, "tab-between-members"),
    case(b'{"a":1,   "b":2}', {"a": 1, "b": 2, "timestamp": NOW}, "spaces-between-members"),
    case(b'{"a":\n1}', {"a": 1, "timestamp": NOW}, "line-feed-between-colon-and-value"),
    case(b'{"a":\x0c\x0b 7}', {"a": 7, "timestamp": NOW}, "form-feed-and-vertical-tab-after-colon"),
    case(b'{"a":1 "b":2}', {"a": 1, "timestamp": NOW}, "missing-comma-swallows-next-member"),
    case(b"{" + b",".join(b'"k%02d":%d' % (i, i) for i in range(20)) + b',"k00":"last","k19":-1}',
         {**{f"k{i:02d}": i for i in range(1, 19)}, "k00": "last", "k19": -1, "timestamp": NOW},
         "many-members-last-wins"),
    case(b"{" + b",".join(b'"k%02d":%d' % (i, i) for i in range(20)) + b',"timestamp":77}',
         {**{f"k{i:02d}": i for i in range(20)}, "timestamp": 77}, "many-members-with-timestamp-last"),
    case(b'{"a":1,"a":2}', {"a": 2, "timestamp": NOW}, "repeated-key-last-wins"),
    # Keys and colons
    case(b'{"a"}', REJECTED, "key-without-colon"),
    case(b'{"a" junk :1}', {"a": 1, "timestamp": NOW}, "bytes-between-key-and-colon-ignored"),
    case(b'{"a" 1, "b":2}', {"a": 2, "timestamp": NOW}, "colon-search-runs-past-the-next-key"),
    case(b'{"k\\"q":1}', {'k"q': 1, "timestamp": NOW}, "escaped-quote-in-key"),
    case(b'{"a\\\\":1}', {"a\\": 1, "timestamp": NOW}, "escaped-backslash-in-key"),
    case(b'{"":1}', {"": 1, "timestamp": NOW}, "empty-key"),
    case('{"é":1}'.encode(), {"é": 1, "timestamp": NOW}, "utf8-key"),
    case(b'{"a}', REJECTED, "unterminated-key"),
    # Nested values
    case(b'{"a":{"b":1}}', REJECTED, "nested-object"),
    case(b'{"a":[1]}', {"a": "[1]", "timestamp": NOW}, "one-element-array-is-text"),
    case(b'{"a":[1, 2]}', REJECTED, "array-with-comma"),
    # Empty values
    case(b'{"a":}', {"a": "", "timestamp": NOW}, "empty-value"),
    case(b'{"a":   }', {"a": "", "timestamp": NOW}, "spaces-only-value"),
    case(b'{"a":  7  }', {"a": 7, "timestamp": NOW}, "value-trimmed"),
    # Literals
    case(b'{"a":false}', {"a": False, "timestamp": NOW}, "false"),
    case(b'{"a":True}', {"a": "True", "timestamp": NOW}, "literals-are-case-sensitive"),
    case(b'{"a":"null"}', {"a": "null", "timestamp": NOW}, "quoted-null-is-text"),
    case(b'{"a":"true"}', {"a": "true", "timestamp": NOW}, "quoted-true-is-text"),
    # Integers
    case(b'{"a":12abc}', {"a": 12, "timestamp": NOW}, "integer-trailing-bytes-ignored"),
    case(b'{"a":0x10}', {"a": 0, "timestamp": NOW}, "hex-is-not-read"),
    case(b'{"a":abc}', {"a": "abc", "timestamp": NOW}, "bare-word-is-text"),
    case(b'{"a":-42}', {"a": -42, "timestamp": NOW}, "negative-integer"),
    case(b'{"a":+5}', {"a": 5, "timestamp": NOW}, "plus-sign"),
    case(b'{"a":-}', {"a": "-", "timestamp": NOW}, "sign-without-digits"),
    case(b'{"a":9223372036854775807}', {"a": 9223372036854775807, "timestamp": NOW}, "int64-max"),
    case(b'{"a":-9223372036854775808}', {"a": -9223372036854775808, "timestamp": NOW}, "int64-min"),
    case(b'{"a":9223372036854775808}', {"a": "9223372036854775808", "timestamp": NOW}, "int64-max-plus-one"),
    case(b'{"a":-9223372036854775809}', {"a": "-9223372036854775809", "timestamp": NOW}, "int64-min-minus-one"),
    case(b'{"a":99999999999999999999}', {"a": "99999999999999999999", "timestamp": NOW}, "twenty-nines"),
    case(b'{"a":inf}', {"a": "inf", "timestamp": NOW}, "inf-is-text"),
    case(b'{"a":nan}', {"a": "nan", "timestamp": NOW}, "nan-is-text"),
    case(b'{"a":12\x00}', {"a": 12, "timestamp": NOW}, "nul-after-integer"),
    # Floats
    case(b'{"a":1.5x}', {"a": 1.5, "timestamp": NOW}, "float-trailing-bytes-ignored"),
    case(b'{"a":1e3}', {"a": 1000.0, "timestamp": NOW}, "exponent"),
    case(b'{"a":1E3}', {"a": 1000.0, "timestamp": NOW}, "capital-exponent"),
    case(b'{"a":1e999}', {"a": "1e999", "timestamp": NOW}, "float-overflow-is-text"),
    case(b'{"a":-1e999}', {"a": "-1e999", "timestamp": NOW}, "negative-float-overflow-is-text"),
    case(b'{"a":1e-400}', {"a": "1e-400", "timestamp": NOW}, "float-underflow-is-text"),
    case(b'{"a":.5}', {"a": 0.5, "timestamp": NOW}, "leading-dot"),
    case(b'{"a":-2.25e-1}', {"a": -0.225, "timestamp": NOW}, "signed-fraction-and-exponent"),
    case(b'{"a":.}', {"a": ".", "timestamp": NOW}, "lone-dot-is-text"),
    case(b'{"a":e5}', {"a": "e5", "timestamp": NOW}, "exponent-without-mantissa-is-text"),
    case(b'{"a":1.5\x00 7}', {"a": 1.5, "timestamp": NOW}, "nul-after-float"),
    # Quoted values
    case(b'{"a":"x\\ny\\t\\r\\b\\f\\/"}', {"a": "x\ny\t\r\b\f/", "timestamp": NOW}, "json-escapes"),
    case(b'{"caf\\u00e9":"\\u20AC\\ud83d\\ude00\\u0000"}', {"caf\u00e9": "\u20ac\U0001f600\x00", "timestamp": NOW},
         "unicode-escapes-and-surrogate-pair"),
    case(b'{"a":"\\ud83dx\\ude00\\udbff"}', {"a": "\ufffdx\ufffd\ufffd", "timestamp": NOW}, "lone-surrogates"),
    case(b'{"a":"\\x\\u12\\u12g4\\q"}', {"a": "xu12u12g4q", "timestamp": NOW}, "other-escapes-are-literal"),
    case(b'{"a":"x\\\\y"}', {"a": "x\\y", "timestamp": NOW}, "escaped-backslash"),
    case(b'{"a":"say \\"hi\\""}', {"a": 'say "hi"', "timestamp": NOW}, "escaped-quotes"),
    case(b'{"a":"x,y}z"}', {"a": "x,y}z", "timestamp": NOW}, "comma-and-brace-inside-quotes"),
    case(b'{"a":"xyz}', {"a": '"xyz}', "timestamp": NOW}, "unterminated-string-runs-to-the-end"),
    case(b'{"a":"x\\"}', {"a": '"x\\"}', "timestamp": NOW}, "escaped-final-quote-leaves-string-open"),
    case(b'{"a":"x\x00y"}', {"a": "x\x00y", "timestamp": NOW}, "nul-inside-string"),
    case(b'{"a":"1"}', {"a": "1", "timestamp": NOW}, "quoted-number-is-text"),
    case(b'{"a":"x" junk, "b":2}', {"a": "x", "b": 2, "timestamp": NOW}, "bytes-after-quoted-value-skipped"),
]


def assert_row(row, expected, before_ms, after_ms):
    assert set(row) == set(expected)
    for name, want in expected.items():
        got = row[name]
        if want is NOW:
            assert type(got) is int and before_ms <= got <= after_ms, (name, got)
        else:
            assert type(got) is type(want) and got == want, (name, got, want)


@pytest.mark.parametrize("data, expected", CASES)
def test_datagram(data, expected):
    stream = udp_stream()
    sender = Sender(stream.address())
    try:
        before_ms = time.time_ns() // 1_000_000
        sender.send(data)
        if expected is REJECTED:
            # Once the sentinel sent after it is out, the datagram has been handled.
            sender.send(SENTINEL)
            rows = pull_until_sentinel(stream)
            assert [r["sentinel"] for r in rows] == ["end"]
            assert stream.stats()["ingested"] == 1
        else:
            rows = pull_rows(stream, 1)
            after_ms = time.time_ns() // 1_000_000
            assert len(rows) == 1
            assert_row(rows[0], expected, before_ms, after_ms)
            assert stream.stats()["ingested"] == 1
        assert stream.stats()["dropped"] == 0
    finally:
        sender.close()
        stream.close()


COMMA_DECIMAL_LOCALES = ["de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "fr_FR.utf8", "de_DE", "fr_FR"]


@pytest.fixture
def comma_decimal_locale():
    saved = locale.setlocale(locale.LC_ALL)
    for name in COMMA_DECIMAL_LOCALES:
        try:
            locale.setlocale(locale.LC_ALL, name)
        except locale.Error:
            continue
        if locale.localeconv()["decimal_point"] == ",":
            break
        locale.setlocale(locale.LC_ALL, saved)
    else:
        pytest.skip("no comma-decimal locale installed (tried " + ", ".join(COMMA_DECIMAL_LOCALES) + ")")
    try:
        yield
    finally:
        locale.setlocale(locale.LC_ALL, saved)


def test_numbers_ignore_the_process_locale(comma_decimal_locale):
    stream = udp_stream()
    sender = Sender(stream.address())
    try:
        sender.send(b'{"a":2.5,"b":-1.25e2,"d":12}')
        rows = pull_rows(stream, 1)
        assert len(rows) == 1
        row = rows[0]
        assert type(row["a"]) is float and row["a"] == 2.5
        assert type(row["b"]) is float and row["b"] == -125.0
        assert type(row["d"]) is int and row["d"] == 12
    finally:
        sender.close()
        stream.close()


@pytest.mark.parametrize("order", ["ascending", "descending", "shuffled"])
def test_many_members_in_any_order_and_repeated(order):
    """Objects of thousands of members (the most a datagram holds), names
    repeated: one sort over all members, the last occurrence of a name
    winning, compared with Python's own reading of the same members."""
    import random

    names = [f"k{i:05d}" for i in range(3000)]
    if order == "descending":
        names.reverse()
    elif order == "shuffled":
        random.Random(5).shuffle(names)
    members = [(name, i) for i, name in enumerate(names)] + [(names[7], "again"), ("timestamp", 5)]
    body = ", ".join(f'"{name}": {value if isinstance(value, int) else chr(34) + value + chr(34)}'
                     for name, value in members)
    datagram = ("{" + body + "}").encode()
    assert len(datagram) < 65_507
    stream = udp_stream()
    sender = Sender(stream.address())
    try:
        sender.send(datagram)
        sender.send(SENTINEL)
        rows = pull_until_sentinel(stream)
    finally:
        sender.close()
        stream.close()
    got = {k: v for k, v in rows[0].items() if v is not None}
    assert list(got) == sorted(got)
    assert got == dict(members)


def test_escapes_decode_as_a_json_reader_does_on_both_datagram_paths():
    """Python's json writes names and strings with every escape; both the
    general parser (first line, escaped names) and the learned-schema column
    path (later lines with plain names) must give back what was written."""
    rng = random.Random(7)
    alphabet = [chr(c) for c in range(0x00, 0x80)] + ["é", "€", "\U0001f600", "\u2028", "\ud83d", "\udc00"]

    def text():
        return "".join(rng.choice(alphabet) for _ in range(rng.randrange(0, 12)))

    def lone(value):
        return sum(1 for c in value if 0xD800 <= ord(c) <= 0xDFFF) if isinstance(value, str) else 0

    events = []
    for i in range(400):
        names = ["a", "b"] if i % 4 else [text() or "k", "b"]
        event = dict(zip(names, [text(), text()]))
        event["timestamp"] = i
        events.append(event)
    # Unescaped, a surrogate could not be written as UTF-8 at all.
    lines = [json.dumps(e, ensure_ascii=rng.random() < 0.8 or any(lone(v) for v in [*e, *e.values()]))
             for e in events]
    stream = ravik.NativeStream.manual(1 << 20, 10**9, 1 << 20)
    ravik.emit_lines(stream, "\n".join(lines).encode("utf-8", "surrogatepass"))
    stream.close()
    got = []
    for batch in ravik.batches(stream, ravik.plan()):
        got += list(ravik.rows(batch))

    def expected(value):  # a surrogate alone is what json.loads keeps and the stream replaces
        return value.encode("utf-16", "surrogatepass").decode("utf-16", "replace")

    read = [json.loads(line) for line in lines]  # surrogate pairs joined, lone ones kept
    want = [{expected(k): (expected(v) if isinstance(v, str) else v) for k, v in e.items()} for e in read]
    assert [{k: v for k, v in row.items() if v is not None} for row in got] == want
    written_lone = sum(lone(k) + lone(v) for e in read for k, v in e.items())
    assert ravik.diagnostics(stream)["lone_surrogates"] == written_lone > 0
