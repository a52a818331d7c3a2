"""Bad input to every method, as tables: wrong types, out-of-range integers,
NaN and infinities, objects whose __str__, __len__ or __getitem__ raise or lie,
undecodable and huge datagrams, huge column dicts, deep nesting, and paths that
are directories, FIFOs, devices or unwritable.

One module for the whole surface (about 870 lines of case tables): a bad input
of one method sits beside the same input to the others.

Each bad call gets a clear exception (or the documented handling), changes no
counter, and leaves the stream working: a good round trip follows each one."""

import math
import os
import re
import socket
import stat
import subprocess
import sys
import textwrap
import time
import types

import numpy as np
import pytest
from plans import make_plan

from _ravik import NativeStream

PLAN = make_plan(drop_late=False)
INF = math.inf
NAN = math.nan
SIGNATURE = "incompatible function arguments"
READ_FAILED = "^read checkpoint failed$"
WRITE_FAILED = "^write checkpoint failed$"


def cast_error(type_text):
    return "^" + re.escape(f"Unable to cast Python instance of type {type_text} to C++ type '?'")


def plan(**changes):
    p = dict(PLAN)
    p.update(changes)
    return p


def window(seconds=1, by=None, time_field="timestamp"):
    return {"seconds": seconds, "by": by, "time_field": time_field}


def without(d, key):
    d = dict(d)
    del d[key]
    return d


class Boom(Exception):
    """Raised by the hostile objects below; must reach the caller unchanged."""


class StrRaises:
    def __str__(self):
        raise Boom("from __str__")

    __hash__ = object.__hash__


class StrNotText:
    def __str__(self):
        return 5


class LenRaises:
    def __len__(self):
        raise Boom("from __len__")

    def __getitem__(self, i):
        return i


class Column:
    """A column whose len() claims `claims` items while it holds `holds`."""

    def __init__(self, claims, holds):
        self.claims, self.holds = claims, holds

    def __len__(self):
        return self.claims

    def __getitem__(self, i):
        if i >= self.holds:
            raise IndexError(f"index {i} out of range")
        return i


class GetitemRaises:
    def __len__(self):
        return 3

    def __getitem__(self, i):
        raise Boom("from __getitem__")


class BigInt(int):
    pass


class DeepKey:
    """A key whose text is that of a structure too deep to print."""

    def __str__(self):
        return str(nested_list(DEEP))


def nested_list(depth):
    v = []
    for _ in range(depth):
        v = [v]
    return v


def nested_dict(depth):
    v = {}
    for _ in range(depth):
        v = {"k": v}
    return v


DEEP = 200_000  # far beyond the interpreter's recursion limit: str() raises RecursionError


@pytest.fixture
def stream():
    s = NativeStream.manual(100_000, 0, 100_000)
    yield s
    s.close()


def assert_stream_works(s, tmp_path):
    """A good call of every kind succeeds after the bad one."""
    s.emit_json({"good": 1, "timestamp": 1})
    s.emit_columns({"good": [2, 3], "timestamp": [2, 3]})
    got = []
    deadline = time.monotonic() + 10
    while len(got) < 3 and time.monotonic() < deadline:
        b = s.next_batch(PLAN, 20)
        if b is not None:
            got += [g for g in b["good"] if g is not None]
    assert got == [1, 2, 3]
    path = str(tmp_path / "after-bad-input.ckpt")
    s.save_checkpoint(path)
    s.load_checkpoint(path)
    assert s.aggregate_columns({"good": [4]}, PLAN)["good"] == [4]
    assert not s.is_closed()


COUNTERS = ("ingested", "dropped", "microbatches_emitted", "output_batches", "output_rows",
            "duplicate_events", "late_events", "checkpoint_saves", "checkpoint_loads")


def counters(s):
    st = s.stats()
    return {k: st[k] for k in COUNTERS}


# ---------------------------------------------------------------------------
# The table of refused calls: (method, args or a function of the test's
# context giving them, kwargs, expected exception, message pattern).
# Static methods are called on the class; the stream is still checked after.


def call(method, *args, **kwargs):
    return (method, args, kwargs)


def two_d_memoryview():
    return memoryview(bytes(4)).cast("B", (2, 2))


REFUSED = [
    # --- factories ----------------------------------------------------------
    ("manual-str", call("manual", "1", 0, 1), TypeError, SIGNATURE),
    ("manual-float", call("manual", 1.5, 0, 1), TypeError, SIGNATURE),
    ("manual-nan", call("manual", 1, NAN, 1), TypeError, SIGNATURE),
    ("manual-inf", call("manual", 1, 0, INF), TypeError, SIGNATURE),
    ("manual-none", call("manual", None, 0, 1), TypeError, SIGNATURE),
    ("manual-negative-batch", call("manual", -1, 0, 1), TypeError, SIGNATURE),
    ("manual-batch-2**32", call("manual", 2**32, 0, 1), TypeError, SIGNATURE),
    ("manual-negative-linger", call("manual", 1, -1, 1), TypeError, SIGNATURE),
    ("manual-linger-2**64", call("manual", 1, 2**64, 1), TypeError, SIGNATURE),
    ("manual-capacity-2**32", call("manual", 1, 0, 2**32), TypeError, SIGNATURE),
    ("manual-missing-arg", call("manual", 1, 0), TypeError, SIGNATURE),
    ("manual-extra-arg", call("manual", 1, 0, 1, 1), TypeError, SIGNATURE),
    ("manual-unknown-keyword", call("manual", 1, 0, size=1), TypeError, SIGNATURE),
    ("udp-host-int", call("udp", 127, 0, 1, 0, 1), TypeError, SIGNATURE),
    ("udp-host-name", call("udp", "localhost", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-host-empty", call("udp", "", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-host-octet-256", call("udp", "256.0.0.1", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-host-three-parts", call("udp", "127.0.1", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-host-trailing-space", call("udp", "127.0.0.1 ", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-host-nul", call("udp", "127.0.0.1\0junk", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-host-ipv6", call("udp", "::1", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-host-non-utf8-bytes", call("udp", b"\xff\xfe", 0, 1, 0, 1), ValueError, "^invalid IPv4 address$"),
    ("udp-port-negative", call("udp", "127.0.0.1", -1, 1, 0, 1), TypeError, SIGNATURE),
    ("udp-port-65536", call("udp", "127.0.0.1", 65536, 1, 0, 1), TypeError, SIGNATURE),
    ("udp-port-float", call("udp", "127.0.0.1", 1.0, 1, 0, 1), TypeError, SIGNATURE),
    ("udp-address-not-local", call("udp", "192.0.2.1", 0, 1, 0, 1), RuntimeError, "^udp bind failed$"),
    ("udp-port-in-use", lambda ctx: call("udp", "127.0.0.1", ctx.busy_port, 1, 0, 1),
     RuntimeError, "^udp bind failed$"),
    # --- small queries take no argument ---------------------------------------
    ("address-arg", call("address", 1), TypeError, SIGNATURE),
    ("is_closed-arg", call("is_closed", 1), TypeError, SIGNATURE),
    ("close-arg", call("close", 1), TypeError, SIGNATURE),
    ("stats-arg", call("stats", None), TypeError, SIGNATURE),
    # --- emit_json ----------------------------------------------------------------
    ("emit_json-list", call("emit_json", [("a", 1)]), TypeError, SIGNATURE),
    ("emit_json-none", call("emit_json", None), TypeError, SIGNATURE),
    ("emit_json-mappingproxy", call("emit_json", types.MappingProxyType({"a": 1})), TypeError, SIGNATURE),
    ("emit_json-keyword", call("emit_json", event={"a": 1}), TypeError, SIGNATURE),
    ("emit_json-two-args", call("emit_json", {"a": 1}, {"b": 2}), TypeError, SIGNATURE),
    ("emit_json-int-2**63", call("emit_json", {"a": 2**63}), RuntimeError, cast_error("<class 'int'>")),
    ("emit_json-int-below-min", call("emit_json", {"a": -2**63 - 1}), RuntimeError, cast_error("<class 'int'>")),
    ("emit_json-int-googol", call("emit_json", {"a": 10**100}), RuntimeError, cast_error("<class 'int'>")),
    ("emit_json-int-subclass-2**64", call("emit_json", {"a": BigInt(2**64)}), RuntimeError,
     cast_error(str(BigInt))),
    ("emit_json-numpy-uint64-max", call("emit_json", {"a": np.uint64(2**64 - 1)}), RuntimeError,
     cast_error("<class 'numpy.uint64'>")),
    ("emit_json-lone-surrogate-value", call("emit_json", {"a": "x\ud800"}), RuntimeError,
     cast_error("<class 'str'>")),
    ("emit_json-lone-surrogate-key", call("emit_json", {"\udc80": 1}), RuntimeError,
     cast_error("<class 'str'>")),
    ("emit_json-str-raises", call("emit_json", {"a": StrRaises()}), Boom, "^from __str__$"),
    ("emit_json-str-not-text", call("emit_json", {"a": StrNotText()}), TypeError, "__str__ returned non-string"),
    ("emit_json-key-str-raises", call("emit_json", {StrRaises(): 1}), Boom, "^from __str__$"),
    ("emit_json-deep-list", call("emit_json", {"a": nested_list(DEEP)}), RecursionError, None),
    ("emit_json-deep-dict", call("emit_json", {"a": nested_dict(DEEP)}), RecursionError, None),
    ("emit_json-key-deep-text", call("emit_json", {DeepKey(): 1}), RecursionError, None),
    # --- emit_columns -------------------------------------------------------------
    ("emit_columns-list", call("emit_columns", [[1, 2]]), TypeError, SIGNATURE),
    ("emit_columns-keyword", call("emit_columns", columns={"a": [1]}), TypeError, SIGNATURE),
    ("emit_columns-unequal", call("emit_columns", {"a": [1, 2], "b": [1]}), ValueError,
     "^all columns must have the same length$"),
    ("emit_columns-empty-beside-full", call("emit_columns", {"a": [], "b": [1]}), ValueError,
     "^all columns must have the same length$"),
    ("emit_columns-int-column", call("emit_columns", {"a": 5}), TypeError, "has no len"),
    ("emit_columns-none-column", call("emit_columns", {"a": None}), TypeError, "has no len"),
    ("emit_columns-generator-column", call("emit_columns", {"a": (i for i in range(3))}), TypeError, "has no len"),
    ("emit_columns-numpy-0d", call("emit_columns", {"a": np.array(5)}), TypeError, "unsized object"),
    ("emit_columns-len-raises", call("emit_columns", {"a": LenRaises()}), Boom, "^from __len__$"),
    ("emit_columns-len-negative", call("emit_columns", {"a": Column(-1, 0)}), ValueError, "should return >= 0"),
    ("emit_columns-len-2**63", call("emit_columns", {"a": Column(2**63, 0)}), OverflowError, None),
    ("emit_columns-len-claims-more", call("emit_columns", {"a": Column(5, 2)}), IndexError, "^index 2 out of range$"),
    # Too large to reserve: still the column's own IndexError.
    ("emit_columns-len-claims-2**62", call("emit_columns", {"a": Column(2**62, 2)}), IndexError,
     "^index 2 out of range$"),
    ("emit_columns-len-claims-2**40", lambda ctx: call("emit_columns", {"a": Column(ctx.unless_asan(2**40), 2)}),
     IndexError, "^index 2 out of range$"),
    ("emit_columns-getitem-raises", call("emit_columns", {"a": GetitemRaises()}), Boom, "^from __getitem__$"),
    ("emit_columns-dict-column-missing-key", call("emit_columns", {"a": {0: 1, 2: 3}}), KeyError, "1"),
    ("emit_columns-2d-memoryview", lambda ctx: call("emit_columns", {"a": two_d_memoryview()}),
     NotImplementedError, None),
    ("emit_columns-item-str-raises", call("emit_columns", {"a": [1, StrRaises()]}), Boom, "^from __str__$"),
    ("emit_columns-item-int-2**63", call("emit_columns", {"a": [1, 2**63]}), RuntimeError,
     cast_error("<class 'int'>")),
    ("emit_columns-item-lone-surrogate", call("emit_columns", {"a": ["\udfff"]}), RuntimeError,
     cast_error("<class 'str'>")),
    ("emit_columns-item-deep-list", call("emit_columns", {"a": [nested_list(DEEP)]}), RecursionError, None),
    ("emit_columns-key-str-raises", call("emit_columns", {StrRaises(): [1]}), Boom, "^from __str__$"),
    ("emit_columns-numpy-uint64-max", call("emit_columns", {"a": np.array([1, 2**64 - 1], dtype=np.uint64)}),
     RuntimeError, cast_error("<class 'numpy.uint64'>")),
    # --- next_batch: the plan, then the timeout -----------------------------------
    ("next_batch-plan-list", call("next_batch", [], 0), TypeError, SIGNATURE),
    ("next_batch-plan-empty", call("next_batch", {}, 0), KeyError, "filters"),
    ("next_batch-plan-without-drop_late", call("next_batch", without(PLAN, "drop_late"), 0), KeyError, "drop_late"),
    ("next_batch-filters-none", call("next_batch", plan(filters=None), 0), TypeError, None),
    ("next_batch-filters-int", call("next_batch", plan(filters=5), 0), TypeError, None),
    ("next_batch-filter-int", call("next_batch", plan(filters=[5]), 0), TypeError, None),
    ("next_batch-filter-without-value", call("next_batch", plan(filters=[{"field": "a", "op": "=="}]), 0),
     KeyError, "value"),
    ("next_batch-filter-field-int", call("next_batch", plan(filters=[{"field": 1, "op": "==", "value": 1}]), 0),
     RuntimeError, cast_error("<class 'int'>")),
    ("next_batch-filter-op-none", call("next_batch", plan(filters=[{"field": "a", "op": None, "value": 1}]), 0),
     RuntimeError, cast_error("<class 'NoneType'>")),
    ("next_batch-filter-value-2**63",
     call("next_batch", plan(filters=[{"field": "a", "op": "==", "value": 2**63}]), 0),
     RuntimeError, cast_error("<class 'int'>")),
    ("next_batch-filter-value-str-raises",
     call("next_batch", plan(filters=[{"field": "a", "op": "==", "value": StrRaises()}]), 0), Boom, None),
    ("next_batch-filter-value-deep",
     call("next_batch", plan(filters=[{"field": "a", "op": "==", "value": nested_dict(DEEP)}]), 0),
     RecursionError, None),
    ("next_batch-select-int", call("next_batch", plan(select=5), 0), TypeError, None),
    ("next_batch-select-item-int", call("next_batch", plan(select=["a", 5]), 0), RuntimeError,
     cast_error("<class 'int'>")),
    ("next_batch-select-item-none", call("next_batch", plan(select=[None]), 0), RuntimeError,
     cast_error("<class 'NoneType'>")),
    ("next_batch-window-int", call("next_batch", plan(window=5), 0), TypeError, None),
    ("next_batch-window-empty", call("next_batch", plan(window={}), 0), KeyError, "seconds"),
    ("next_batch-window-without-time_field",
     call("next_batch", plan(window=without(window(), "time_field")), 0), KeyError, "time_field"),
    ("next_batch-window-seconds-0", call("next_batch", plan(window=window(0)), 0), ValueError,
     "^window seconds must be positive$"),
    ("next_batch-window-seconds-negative", call("next_batch", plan(window=window(-2**63)), 0), ValueError,
     "^window seconds must be positive$"),
    ("next_batch-window-seconds-2**62", call("next_batch", plan(window=window(2**62)), 0), ValueError,
     "^window seconds out of range$"),
    ("next_batch-window-seconds-2**63", call("next_batch", plan(window=window(2**63)), 0), RuntimeError,
     cast_error("<class 'int'>")),
    ("next_batch-window-seconds-float", call("next_batch", plan(window=window(1.0)), 0), RuntimeError,
     cast_error("<class 'float'>")),
    ("next_batch-window-seconds-nan", call("next_batch", plan(window=window(NAN)), 0), RuntimeError,
     cast_error("<class 'float'>")),
    ("next_batch-window-seconds-inf", call("next_batch", plan(window=window(INF)), 0), RuntimeError,
     cast_error("<class 'float'>")),
    ("next_batch-window-seconds-str", call("next_batch", plan(window=window("5")), 0), RuntimeError,
     cast_error("<class 'str'>")),
    ("next_batch-window-by-int", call("next_batch", plan(window=window(by=1)), 0), RuntimeError,
     cast_error("<class 'int'>")),
    ("next_batch-window-time_field-none", call("next_batch", plan(window=window(time_field=None)), 0),
     RuntimeError, cast_error("<class 'NoneType'>")),
    ("next_batch-mean-empty", call("next_batch", plan(mean={}), 0), KeyError, "field"),
    ("next_batch-mean-alias-none", call("next_batch", plan(mean={"field": "v", "alias": None}), 0),
     RuntimeError, cast_error("<class 'NoneType'>")),
    ("next_batch-watermark-nan", call("next_batch", plan(watermark_ms=NAN), 0), RuntimeError,
     cast_error("<class 'float'>")),
    ("next_batch-watermark-inf", call("next_batch", plan(watermark_ms=INF), 0), RuntimeError,
     cast_error("<class 'float'>")),
    ("next_batch-watermark-minus-inf", call("next_batch", plan(watermark_ms=-INF), 0), RuntimeError,
     cast_error("<class 'float'>")),
    ("next_batch-watermark-2**63", call("next_batch", plan(watermark_ms=2**63), 0), RuntimeError,
     cast_error("<class 'int'>")),
    ("next_batch-watermark-str", call("next_batch", plan(watermark_ms="5"), 0), RuntimeError,
     cast_error("<class 'str'>")),
    ("next_batch-lateness-nan", call("next_batch", plan(allowed_lateness_ms=NAN), 0), RuntimeError,
     cast_error("<class 'float'>")),
    ("next_batch-lateness-below-min", call("next_batch", plan(allowed_lateness_ms=-2**63 - 1), 0), RuntimeError,
     cast_error("<class 'int'>")),
    ("next_batch-event_id_field-int", call("next_batch", plan(event_id_field=1), 0), RuntimeError,
     cast_error("<class 'int'>")),
    ("next_batch-drop_late-str", call("next_batch", plan(drop_late="yes"), 0), RuntimeError,
     cast_error("<class 'str'>")),
    ("next_batch-drop_late-list", call("next_batch", plan(drop_late=[]), 0), RuntimeError,
     cast_error("<class 'list'>")),
    ("next_batch-timeout-negative", call("next_batch", PLAN, -1), TypeError, SIGNATURE),
    ("next_batch-timeout-2**64", call("next_batch", PLAN, 2**64), TypeError, SIGNATURE),
    ("next_batch-timeout-float", call("next_batch", PLAN, 1.5), TypeError, SIGNATURE),
    ("next_batch-timeout-nan", call("next_batch", PLAN, NAN), TypeError, SIGNATURE),
    ("next_batch-timeout-inf", call("next_batch", PLAN, INF), TypeError, SIGNATURE),
    ("next_batch-timeout-none", call("next_batch", PLAN, None), TypeError, SIGNATURE),
    ("next_batch-timeout-missing", call("next_batch", PLAN), TypeError, SIGNATURE),
    # --- aggregate_columns: the plan is read first, then the columns --------------
    ("aggregate_columns-columns-list", call("aggregate_columns", [[1]], PLAN), TypeError, SIGNATURE),
    ("aggregate_columns-plan-bad-and-columns-bad",
     call("aggregate_columns", {"a": [1], "b": []}, plan(window=window(0))), ValueError,
     "^window seconds must be positive$"),
    ("aggregate_columns-unequal", call("aggregate_columns", {"a": [1], "b": []}, PLAN), ValueError,
     "^all columns must have the same length$"),
    ("aggregate_columns-len-claims-more", call("aggregate_columns", {"a": Column(3, 1)}, PLAN), IndexError, None),
    ("aggregate_columns-item-str-raises", call("aggregate_columns", {"a": [StrRaises()]}, PLAN), Boom, None),
    ("aggregate_columns-item-deep", call("aggregate_columns", {"a": [nested_dict(DEEP)]}, PLAN),
     RecursionError, None),
    # --- aggregate_trade_numeric ----------------------------------------------------
    ("trade-values-2d", call("aggregate_trade_numeric", [1], [1], [1], [[1.0]], 10), ValueError,
     "^numeric columns must be one-dimensional$"),
    ("trade-timestamps-scalar", call("aggregate_trade_numeric", 5, [1], [1], [1.0], 10), ValueError,
     "^numeric columns must be one-dimensional$"),
    ("trade-unequal-lengths", call("aggregate_trade_numeric", [1, 2], [1, 1], [1, 1], [1.0], 0), ValueError,
     "^numeric columns must have equal length$"),
    ("trade-window-0", call("aggregate_trade_numeric", [1], [1], [1], [1.0], 0), ValueError,
     "^window_ms must be positive$"),
    ("trade-window-negative", call("aggregate_trade_numeric", [1], [1], [1], [1.0], -2**63), ValueError,
     "^window_ms must be positive$"),
    ("trade-window-2**63", call("aggregate_trade_numeric", [1], [1], [1], [1.0], 2**63), TypeError, SIGNATURE),
    ("trade-window-float", call("aggregate_trade_numeric", [1], [1], [1], [1.0], 10.0), TypeError, SIGNATURE),
    ("trade-window-nan", call("aggregate_trade_numeric", [1], [1], [1], [1.0], NAN), TypeError, SIGNATURE),
    ("trade-timestamps-text", call("aggregate_trade_numeric", ["x"], [1], [1], [1.0], 10), TypeError, SIGNATURE),
    ("trade-timestamps-nan", call("aggregate_trade_numeric", [NAN], [1], [1], [1.0], 10), TypeError, SIGNATURE),
    ("trade-timestamps-1e300", call("aggregate_trade_numeric", [1e300], [1], [1], [1.0], 10), TypeError,
     SIGNATURE),
    ("trade-values-objects", call("aggregate_trade_numeric", [1], [1], [1], [object()], 10), TypeError,
     SIGNATURE),
    ("trade-missing-arg", call("aggregate_trade_numeric", [1], [1], [1], [1.0]), TypeError, SIGNATURE),
    # --- save_checkpoint ------------------------------------------------------------
    ("save-int", call("save_checkpoint", 5), TypeError, SIGNATURE),
    ("save-none", call("save_checkpoint", None), TypeError, SIGNATURE),
    ("save-keyword", lambda ctx: call("save_checkpoint", path=str(ctx.tmp / "c.ckpt")), TypeError, SIGNATURE),
    ("save-empty-path", call("save_checkpoint", ""), RuntimeError, WRITE_FAILED),
    ("save-directory", lambda ctx: call("save_checkpoint", str(ctx.tmp)), RuntimeError, WRITE_FAILED),
    ("save-missing-directory", lambda ctx: call("save_checkpoint", str(ctx.tmp / "none" / "c.ckpt")),
     RuntimeError, WRITE_FAILED),
    ("save-parent-is-a-file", lambda ctx: call("save_checkpoint", str(ctx.regular_file) + "/c.ckpt"),
     RuntimeError, WRITE_FAILED),
    # Without the check, the name would end at the NUL and "c" be written.
    ("save-nul-in-path", lambda ctx: call("save_checkpoint", str(ctx.tmp / "c\0.ckpt")), RuntimeError,
     WRITE_FAILED),
    ("save-nul-in-bytes-path", lambda ctx: call("save_checkpoint", os.fsencode(ctx.tmp / "c\0")), RuntimeError,
     WRITE_FAILED),
    ("save-name-too-long", lambda ctx: call("save_checkpoint", str(ctx.tmp / ("n" * 300))), RuntimeError,
     WRITE_FAILED),
    ("save-path-too-long", lambda ctx: call("save_checkpoint", str(ctx.tmp) + "/d" * 3000), RuntimeError,
     WRITE_FAILED),
    # /proc takes no new files, whoever asks (root included).
    ("save-unwritable-directory", call("save_checkpoint", "/proc/ravik-test.ckpt"), RuntimeError, WRITE_FAILED),
    # --- load_checkpoint ------------------------------------------------------------
    ("load-int", call("load_checkpoint", 5), TypeError, SIGNATURE),
    ("load-empty-path", call("load_checkpoint", ""), RuntimeError, READ_FAILED),
    ("load-missing", lambda ctx: call("load_checkpoint", str(ctx.tmp / "missing.ckpt")), RuntimeError,
     READ_FAILED),
    ("load-directory", lambda ctx: call("load_checkpoint", str(ctx.tmp)), RuntimeError, READ_FAILED),
    # Without the check, the name would end at the NUL and the existing file
    # in front of it be loaded.
    ("load-nul-in-path", lambda ctx: call("load_checkpoint", str(ctx.regular_file) + "\0.other"), RuntimeError,
     READ_FAILED),
    # Only regular files load: a device may never end (/dev/zero, not tried
    # here, since without the check it would read until memory runs out), and
    # opening a FIFO blocks until a writer comes.
    ("load-char-device", call("load_checkpoint", "/dev/null"), RuntimeError, READ_FAILED),
    # A write-only file, whoever asks (root included).
    ("load-unreadable-file", lambda ctx: call("load_checkpoint", ctx.existing("/proc/self/clear_refs")),
     RuntimeError, READ_FAILED),
    ("load-fifo", lambda ctx: call("load_checkpoint", ctx.fifo_with_late_writer()), RuntimeError, READ_FAILED),
    ("load-socket-file", lambda ctx: call("load_checkpoint", ctx.unix_socket_path()), RuntimeError, READ_FAILED),
]


class Context:
    """What the table's argument functions need; cleans up after itself."""

    def __init__(self, tmp):
        self.tmp = tmp
        self.regular_file = tmp / "regular.ckpt"
        NativeStream.manual(1, 0, 1).save_checkpoint(str(self.regular_file))
        self._cleanup = []
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.bind(("127.0.0.1", 0))
        self._cleanup.append(sock.close)
        self.busy_port = sock.getsockname()[1]

    @staticmethod
    def unless_asan(claimed_length):
        """AddressSanitizer ends the process on an allocation beyond its
        limit instead of failing it, so a reservation that a normal build
        refuses cannot be tried under it."""
        with open("/proc/self/maps") as f:
            if "asan" in f.read():
                pytest.skip("AddressSanitizer aborts on allocations this large instead of failing them")
        return claimed_length

    @staticmethod
    def existing(path):
        if not os.path.exists(path):
            pytest.skip(f"{path} is missing on this system")
        return path

    def fifo_with_late_writer(self):
        """A FIFO, and a process that would write a valid checkpoint into it
        after 3 s: a load that blocks in open() then returns without error,
        and the test fails instead of hanging."""
        path = self.tmp / "fifo"
        os.mkfifo(path)
        writer = subprocess.Popen([sys.executable, "-c",
                                   "import os, sys, time; time.sleep(3); fd = os.open(sys.argv[1], os.O_WRONLY); "
                                   "os.write(fd, open(sys.argv[2], 'rb').read())",
                                   str(path), str(self.regular_file)])
        self._cleanup.append(lambda: (writer.kill(), writer.wait()))
        return str(path)

    def unix_socket_path(self):
        path = str(self.tmp / "sock")
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.bind(path)
        self._cleanup.append(s.close)
        return path

    def close(self):
        for f in reversed(self._cleanup):
            f()


@pytest.mark.parametrize("invocation, expected, pattern", [pytest.param(c, e, p, id=i) for i, c, e, p in REFUSED])
def test_refused_call_raises_and_the_stream_keeps_working(stream, tmp_path, invocation, expected, pattern):
    ctx = Context(tmp_path)
    try:
        method, args, kwargs = invocation(ctx) if callable(invocation) else invocation
        target = NativeStream if method in ("manual", "udp") else stream
        # A batch in flight that the bad call must not disturb; cut before the
        # counters are read, so that nothing else can move them meanwhile.
        stream.emit_json({"queued": 1})
        deadline = time.monotonic() + 10
        while stream.stats()["microbatches_emitted"] == 0 and time.monotonic() < deadline:
            time.sleep(0.001)
        before = counters(stream)
        with pytest.raises(expected, match=pattern):
            getattr(target, method)(*args, **kwargs)
        assert counters(stream) == before
        out = []
        deadline = time.monotonic() + 10
        while not out and time.monotonic() < deadline:
            b = stream.next_batch(PLAN, 20)
            if b is not None:
                out = b["queued"]
        assert out == [1]
        assert_stream_works(stream, tmp_path)
    finally:
        ctx.close()
    # No stray file from a refused save: only what this test wrote itself.
    leftovers = sorted(p.name for p in tmp_path.iterdir())
    assert set(leftovers) <= {"regular.ckpt", "after-bad-input.ckpt", "fifo", "sock"}, leftovers


def test_unreadable_checkpoint_is_refused(stream, tmp_path):
    path = tmp_path / "locked.ckpt"
    stream.save_checkpoint(str(path))
    path.chmod(0)
    try:
        with open(path, "rb"):
            pytest.skip("running with privileges that read a mode-000 file (root): permissions do not bite; "
                        "see the write-only /proc case of the table")
    except PermissionError:
        pass
    with pytest.raises(RuntimeError, match=READ_FAILED):
        stream.load_checkpoint(str(path))
    assert_stream_works(stream, tmp_path)


def test_read_only_directory_refuses_saves(stream, tmp_path):
    d = tmp_path / "ro"
    d.mkdir()
    d.chmod(stat.S_IRUSR | stat.S_IXUSR)
    try:
        probe = d / "probe"
        try:
            probe.write_bytes(b"")
            probe.unlink()
            pytest.skip("running with privileges that write into a read-only directory (root): "
                        "permissions do not bite; see the /proc case of the table")
        except PermissionError:
            pass
        with pytest.raises(RuntimeError, match=WRITE_FAILED):
            stream.save_checkpoint(str(d / "c.ckpt"))
        assert os.listdir(d) == []
    finally:
        d.chmod(stat.S_IRWXU)
    assert_stream_works(stream, tmp_path)


# ---------------------------------------------------------------------------
# Inputs with a documented handling: accepted, with the stated result.


def pull_all(s, count, deadline_s=10.0):
    out = {}
    n = 0
    deadline = time.monotonic() + deadline_s
    while n < count and time.monotonic() < deadline:
        b = s.next_batch(PLAN, 20)
        if b is None:
            continue
        k = len(next(iter(b.values())))
        for name, values in b.items():
            out.setdefault(name, [None] * n).extend(values)
        for values in out.values():
            values.extend([None] * (n + k - len(values)))
        n += k
    return out


def self_referencing_list():
    v = [1]
    v.append(v)
    return v


@pytest.mark.parametrize("value, expected", [
    pytest.param(NAN, "nan", id="nan"),
    pytest.param(INF, INF, id="inf"),
    pytest.param(-INF, -INF, id="minus-inf"),
    pytest.param(nested_list(50), str(nested_list(50)), id="nested-list-depth-50"),
    pytest.param(nested_dict(50), str(nested_dict(50)), id="nested-dict-depth-50"),
    pytest.param(self_referencing_list(), "[1, [...]]", id="self-referencing-list"),
    pytest.param({"k": [1, (2, {"x": None})]}, "{'k': [1, (2, {'x': None})]}", id="mixed-nesting"),
    pytest.param(b"\xff\x00", "b'\\xff\\x00'", id="bytes"),
])
@pytest.mark.parametrize("via", ["emit_json", "emit_columns"])
def test_odd_values_are_stored_as_documented(stream, tmp_path, value, expected, via):
    if via == "emit_json":
        stream.emit_json({"v": value, "timestamp": 1})
    else:
        stream.emit_columns({"v": [value], "timestamp": [1]})
    got = pull_all(stream, 1)["v"]
    if expected == "nan":
        assert len(got) == 1 and math.isnan(got[0])
    else:
        assert got == [expected]
    assert_stream_works(stream, tmp_path)


@pytest.mark.parametrize("filters, kept", [
    pytest.param([{"field": "v", "op": "==", "value": NAN}], [], id="equal-nan-matches-nothing"),
    pytest.param([{"field": "v", "op": "!=", "value": NAN}], [1.0, INF, NAN], id="not-equal-nan-matches-all"),
    pytest.param([{"field": "v", "op": "<", "value": INF}], [1.0], id="below-inf"),
    pytest.param([{"field": "v", "op": ">=", "value": INF}], [INF], id="inf-at-least-inf"),
    pytest.param([{"field": "v", "op": ">", "value": -INF}], [1.0, INF], id="above-minus-inf"),
])
def test_nan_and_infinite_filter_values(stream, filters, kept):
    stream.emit_columns({"v": [1.0, INF, NAN], "timestamp": [1, 2, 3]})
    stream.close()
    b = stream.next_batch(plan(filters=filters), 0)
    got = [] if b is None else b["v"]
    assert len(got) == len(kept)
    for g, k in zip(got, kept):
        assert (math.isnan(g) and math.isnan(k)) or g == k


MEAN = {"field": "v", "alias": "m"}


@pytest.mark.parametrize("changes", [
    pytest.param({"watermark_ms": -2**63}, id="watermark-min"),
    pytest.param({"watermark_ms": 2**63 - 1}, id="watermark-max"),
    pytest.param({"allowed_lateness_ms": -2**63}, id="lateness-min"),
    pytest.param({"allowed_lateness_ms": 2**63 - 1}, id="lateness-max"),
    pytest.param({"watermark_ms": 2**63 - 1, "allowed_lateness_ms": 2**63 - 1}, id="both-max"),
    pytest.param({"drop_late": NAN}, id="drop_late-nan-is-true"),
    pytest.param({"window": window(2**63 // 1000), "mean": MEAN}, id="widest-window"),
    pytest.param({"window": window(1), "mean": MEAN, "watermark_ms": -2**63, "allowed_lateness_ms": 2**63 - 1},
                 id="window-with-extreme-bounds"),
    pytest.param({"window": window(1, by="v"), "mean": MEAN, "watermark_ms": 2**63 - 1}, id="window-by-float"),
])
def test_extreme_plan_values_are_accepted(stream, tmp_path, changes):
    """Extreme times and bounds wrap or saturate inside; no call raises, every
    event is accounted for and nothing stays open."""
    stream.emit_columns({"v": [1.0, 2.0, INF], "timestamp": [-2**63, 2**63 - 1, 0]})
    stream.close()
    p = plan(**changes)
    rows = []
    for _ in range(5):
        b = stream.next_batch(p, 0)
        if b is None:
            break
        names = list(b)
        rows += [{k: b[k][i] for k in names} for i in range(len(b[names[0]]))]
    assert stream.next_batch(p, 0) is None
    st = stream.stats()
    assert st["output_rows"] == len(rows) and st["open_windows"] == 0
    if "window" in changes:
        assert sum(r["count"] for r in rows) == 3  # late events are kept (drop_late False)
    elif changes.get("drop_late") is NAN:
        assert len(rows) + st["late_events"] == 3  # each late event dropped, and counted
    else:
        assert len(rows) == 3
    assert_stream_works_after_close(stream, tmp_path)


def assert_stream_works_after_close(s, tmp_path):
    """A closed stream still counts offers, aggregates and checkpoints."""
    before = s.stats()["ingested"]
    s.emit_json({"late": 1})
    assert s.stats()["ingested"] == before + 1
    assert s.aggregate_columns({"good": [4]}, PLAN)["good"] == [4]
    path = str(tmp_path / "after-close.ckpt")
    s.save_checkpoint(path)
    s.load_checkpoint(path)


def test_column_shorter_len_reads_only_what_len_says(stream):
    stream.emit_columns({"a": Column(2, 5)})
    assert pull_all(stream, 2)["a"] == [0, 1]


def test_a_thousand_columns(stream, tmp_path):
    cols = {f"c{i:04d}": [i, -i, None] for i in range(1000)}
    cols["timestamp"] = [1, 2, 3]
    stream.emit_columns(cols)
    out = pull_all(stream, 3)
    assert out == cols
    assert list(out) == sorted(cols)
    assert_stream_works(stream, tmp_path)


def test_a_million_rows_of_one_column(tmp_path):
    n = 1_000_000
    s = NativeStream.manual(n, 0, n)
    try:
        s.emit_columns({"x": np.arange(n, dtype=np.int64), "timestamp": np.zeros(n, dtype=np.int64)})
        assert s.stats()["ingested"] == n and s.stats()["dropped"] == 0
        out = pull_all(s, n)
        assert out["x"] == list(range(n))
        assert s.aggregate_columns({"y": range(n)}, PLAN)["y"] == list(range(n))
        assert_stream_works(s, tmp_path)
    finally:
        s.close()


def test_random_bytes_are_refused_and_the_stream_goes_on(stream, tmp_path):
    path = tmp_path / "garbage.ckpt"
    path.write_bytes(np.random.default_rng(7).integers(0, 256, 20_000, dtype=np.uint8).tobytes())
    with pytest.raises(RuntimeError, match="^read checkpoint failed: "):
        stream.load_checkpoint(str(path))
    assert stream.stats()["checkpoint_loads"] == 0
    assert_stream_works(stream, tmp_path)


def test_save_onto_a_fifo_replaces_it_with_a_regular_file(stream, tmp_path):
    """Saving renames a finished temporary file over the target: a FIFO (or
    any other entry that is not a directory) is replaced, never opened."""
    path = tmp_path / "fifo.ckpt"
    os.mkfifo(path)
    stream.save_checkpoint(str(path))
    assert stat.S_ISREG(os.stat(path).st_mode)
    stream.load_checkpoint(str(path))
    assert_stream_works(stream, tmp_path)


# ---------------------------------------------------------------------------
# Datagrams: each bad one is followed by a good sentinel; once the sentinel
# is out, the bad one has been handled.


@pytest.fixture
def udp():
    s = NativeStream.udp("127.0.0.1", 0, 1000, 0, 10_000)
    tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    yield s, (lambda data: tx.sendto(data, s.address()))
    tx.close()
    s.close()


def until_sentinel(s):
    rows = []
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        b = s.next_batch(PLAN, 20)
        if b is None:
            continue
        names = list(b)
        rows += [{k: b[k][i] for k in names if b[k][i] is not None} for i in range(len(b[names[0]]))]
        if any(r.get("sentinel") == 1 for r in rows):
            return [r for r in rows if r.get("sentinel") != 1]
    raise AssertionError("sentinel did not come out")


def strip_time(rows):
    return [{k: v for k, v in r.items() if k != "timestamp"} for r in rows]


@pytest.mark.parametrize("datagram, expected", [
    pytest.param(b'{"name": "caf\xe9 \xff\xfe end"}', [{"name": "caf\ufffd \ufffd\ufffd end"}], id="latin1-value"),
    pytest.param(b'{"\xc3\x28": 1}', [{"\udcc3(": 1}], id="bad-utf8-name"),
    pytest.param(b'{"v": "\xed\xa0\x80"}', [{"v": "\ufffd\ufffd\ufffd"}], id="encoded-surrogate"),
    pytest.param(b'{"v": "\xf4\x90\x80\x80"}', [{"v": "\ufffd\ufffd\ufffd\ufffd"}], id="beyond-u10ffff"),
    pytest.param(b'{"v": "ok\x00nul"}', [{"v": "ok\x00nul"}], id="nul-byte-kept"),
    pytest.param(b'{"a": NaN, "b": Infinity, "c": -Infinity, "d": 1e999, "e": nan}',
                 [{"a": "NaN", "b": "Infinity", "c": "-Infinity", "d": "1e999", "e": "nan"}], id="non-finite-as-text"),
    # Without a comma inside, an array is text; nested objects are refused.
    pytest.param(b'{"a": ' + b'[' * 30_000 + b']' * 30_000 + b'}', [{"a": "[" * 30_000 + "]" * 30_000}],
                 id="deeply-nested-array"),
    pytest.param(b'{"a": ' + b'[1,' * 15_000 + b']' * 15_000 + b'}', [], id="deeply-nested-array-with-commas"),
    pytest.param(b'{"a": ' + b'{"a": ' * 9_000 + b'1' + b'}' * 9_001, [], id="deeply-nested-object"),
    pytest.param(b'\xff' * 65_507, [], id="largest-datagram-of-junk"),
    pytest.param(b'{"big": "' + b'\xff' * 65_495 + b'"}', [{"big": "\ufffd" * 65_495}], id="largest-bad-utf8-value"),
])
def test_bad_datagrams(udp, datagram, expected):
    s, send = udp
    send(datagram)
    send(b'{"sentinel": 1}')
    assert strip_time(until_sentinel(s)) == expected
    # The stream goes on taking good datagrams.
    send(b'{"after": 2}')
    send(b'{"sentinel": 1}')
    assert strip_time(until_sentinel(s)) == [{"after": 2}]


# ---------------------------------------------------------------------------
# Python code run by a conversion (str(), a metaclass attribute) that changes
# what is being converted. These ran on freed memory once, so each runs in a
# child interpreter: a crash fails its test instead of ending the run.

MUTATING_CONVERSIONS = {
    # str() of a filter value empties the plan's own filter list mid-parse.
    "filter-value-clears-the-filter-list": """
        filters = []
        class Clears:
            def __str__(self):
                filters.clear()
                [object() for _ in range(10_000)]  # reuse the freed memory
                return "x"
        filters += [{"field": "a", "op": "==", "value": Clears()}]
        filters += [{"field": "a", "op": "==", "value": 1} for _ in range(50)]
        s.emit_json({"a": "x", "timestamp": 1})
        s.close()
        # The list was read as it became: one filter, a == "x".
        assert s.next_batch(dict(PLAN, filters=filters), 0)["a"] == ["x"]
    """,
    # dict() of a filter element empties the list that holds it.
    "filter-element-clears-the-filter-list": """
        filters = []
        class Pairs:
            def keys(self):
                filters.clear()
                return ["field", "op", "value"]
            def __getitem__(self, k):
                return {"field": "a", "op": "==", "value": 1}[k]
        filters += [Pairs()] + [{"field": "b", "op": "==", "value": 1} for _ in range(50)]
        s.emit_json({"a": 1, "timestamp": 1})
        s.close()
        assert s.next_batch(dict(PLAN, filters=filters), 0)["a"] == [1]
    """,
    # Looking at an item's type runs its metaclass, which removes the item
    # from the column list holding its only reference.
    "column-item-removed-while-converted": """
        column = []
        freed = []
        class Meta(type):
            @property
            def __module__(cls):
                column.clear()
                return "elsewhere"
        class Item(metaclass=Meta):
            def __del__(self):
                freed.append(True)
            def __str__(self):
                assert not freed, "str() of a freed item"
                return "item"
        column.append(Item())
        s.emit_columns({"a": column, "timestamp": [1]})
        assert freed == [True]
        s.close()
        assert s.next_batch(PLAN, 0)["a"] == ["item"]
    """,
    # A class that NumPy's rules would convert as an integer is freed, and a
    # new class is created at its address: the new one's values are text.
    "class-at-a-freed-class-address": """
        import gc
        import numpy as np
        def numpy_like_class():
            class Fake(np.int64):
                pass
            Fake.__module__ = "numpy"
            s.emit_json({"a": Fake(5), "timestamp": 1})
            return id(Fake)
        address = numpy_like_class()
        gc.collect()
        for _ in range(1000):
            class Plain:
                def __str__(self):
                    return "plain"
            if id(Plain) == address:
                break
            del Plain
            gc.collect()
        else:
            print("SKIP: no class was allocated at the freed address")
            raise SystemExit(0)
        s.emit_json({"a": Plain(), "timestamp": 2})
        s.close()
        assert s.next_batch(PLAN, 0)["a"] == ["5", "plain"]
    """,
}


@pytest.mark.parametrize("scenario", list(MUTATING_CONVERSIONS))
def test_conversions_survive_code_that_mutates_their_input(scenario):
    script = textwrap.dedent("""
        import _ravik
        PLAN = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
                "allowed_lateness_ms": None, "event_id_field": None, "drop_late": False}
        s = _ravik.NativeStream.manual(100, 0, 100)
    """) + textwrap.dedent(MUTATING_CONVERSIONS[scenario]) + "\nprint('ok')\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    if done.stdout.startswith("SKIP:"):
        pytest.skip(done.stdout[5:].strip())
    assert done.returncode == 0, (done.returncode, done.stdout, done.stderr)
    assert done.stdout.strip() == "ok"
