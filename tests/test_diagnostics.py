"""ravik.diagnostics(): everything a stream drops or repairs beyond stats()."""

import os
import socket
import time

import pytest

import ravik
from ravik import _native
from udp_support import SENTINEL, Sender, pull_until_sentinel, udp_stream, wait_for

from conftest import make_plan

KEYS = ["malformed_datagrams", "kernel_dropped", "non_integer_times", "events_without_mean", "future_events",
        "lone_surrogates", "pending_dropped", "late_side_dropped", "newest_event_time", "watermark", "lag_ms",
        "recent_malformed"]
TIMES = ["newest_event_time", "watermark", "lag_ms"]


@pytest.fixture
def udp():
    stream = udp_stream()
    sender = Sender(stream.address())
    yield stream, sender
    sender.close()
    stream.close()


def test_a_new_stream_reports_zeros_and_refuses_other_objects(manual):
    d = ravik.diagnostics(manual())
    counts = [k for k in KEYS[:-1] if k not in TIMES]
    assert list(d) == KEYS and d == dict.fromkeys(counts, 0) | dict.fromkeys(TIMES) | {"recent_malformed": []}
    with pytest.raises(TypeError, match="NativeStream"):
        ravik.diagnostics(object())


def test_malformed_datagrams_are_counted_with_their_reasons(udp):
    stream, sender = udp
    bad = [(b"", "empty datagram"), (b"42", "not an object"), (b'{"a": 1,\n"b": 2}', "member name expected"),
           (b'{"a', "not an object"), (b'{"abc}', "unterminated member name"), (b'{"a" 1}', "colon expected"),
           (b"{" + b"x" * 1000 + b"}", "member name expected")]
    for datagram, _ in bad:
        sender.send(datagram)
    sender.send(SENTINEL)
    rows = pull_until_sentinel(stream)
    assert len(rows) == 1
    d = ravik.diagnostics(stream)
    assert d["malformed_datagrams"] == len(bad)
    assert d["recent_malformed"] == [(datagram[:256], reason) for datagram, reason in bad]
    assert stream.stats()["ingested"] == 1  # stats() keeps counting only events


def test_only_the_last_eight_samples_are_kept(udp):
    stream, sender = udp
    for i in range(20):
        sender.send(b"bad %d" % i)
    sender.send(SENTINEL)
    pull_until_sentinel(stream)
    d = ravik.diagnostics(stream)
    assert d["malformed_datagrams"] == 20
    assert [sample for sample, _ in d["recent_malformed"]] == [b"bad %d" % i for i in range(12, 20)]


def own_socket(stream):
    """A second handle on the stream's own socket, found among this process's descriptors."""
    for name in os.listdir("/proc/self/fd"):
        try:
            sock = socket.socket(fileno=os.dup(int(name)))
        except OSError:
            continue
        try:
            if sock.type == socket.SOCK_DGRAM and sock.getsockname() == stream.address():
                return sock
        except OSError:
            pass
        sock.close()
    raise AssertionError("the stream's socket is not among the descriptors")


def test_datagrams_lost_in_the_kernel_are_counted_exactly(udp):
    stream, sender = udp
    # With the smallest receive buffer, a burst overflows it between two
    # turns of the worker: every datagram is then either ingested or
    # counted as lost in the kernel.
    with own_socket(stream) as sock:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
    payload = b'{"v": 1, "pad": "' + b"x" * 1000 + b'"}'
    for _ in range(2000):
        sender.send(payload)
    sent = 2000
    assert wait_for(lambda: stream.stats()["ingested"] + ravik.diagnostics(stream)["kernel_dropped"] == sent)
    assert ravik.diagnostics(stream)["kernel_dropped"] > 0


def test_wall_clock_times_and_missing_means_are_counted(manual):
    stream = manual(linger_ms=0)
    stream.emit_columns({"t": [1, "x", None, 4.0, 5], "v": [1.0, 2.0, "n/a", None, 3.0]})
    stream.emit_json({"v": 1.0})  # no "t" at all
    window = {"seconds": 10, "by": None, "time_field": "t"}
    plan = make_plan(window=window, mean={"field": "v", "alias": "m"}, drop_late=False)
    stream.close()
    rows = [row for batch in ravik.batches(stream, plan, timeout_ms=0) for row in ravik.rows(batch)]
    assert sum(row["count"] for row in rows) == 4
    d = ravik.diagnostics(stream)
    assert (d["non_integer_times"], d["events_without_mean"]) == (4, 2)


def test_events_too_far_ahead_are_dropped_before_their_id_is_remembered(manual):
    stream = manual(linger_ms=0)
    _native.set_max_future_ms(stream, 60_000)
    now = time.time_ns() // 1_000_000
    stream.emit_columns({"timestamp": [now, 2**63 - 1, now + 3_600_000, now + 1], "id": [1, 2, 3, 2]})
    stream.close()
    plan = make_plan(event_id_field="id", watermark_ms=1000)
    rows = [row for batch in ravik.batches(stream, plan, timeout_ms=0) for row in ravik.rows(batch)]
    assert [row["id"] for row in rows] == [1, 2]  # id 2 again, with a sound time: no duplicate
    assert ravik.diagnostics(stream)["future_events"] == 2
    assert stream.stats()["duplicate_events"] == stream.stats()["late_events"] == 0


def test_undecodable_field_names_stay_distinct_columns(udp):
    stream, sender = udp
    sender.send('{"\ufffd": 1}'.encode())
    sender.send(b'{"\xff": 2}')
    sender.send(b'{"\xff\xfe": 3, "\xfe": 4}')
    sender.send(SENTINEL)
    rows = [{k: v for k, v in row.items() if v is not None and k != "timestamp"}
            for row in pull_until_sentinel(stream)]
    assert rows[:3] == [{"\ufffd": 1}, {"\udcff": 2}, {"\udcfe": 4, "\udcff\udcfe": 3}]
    assert {name.encode("utf-8", "surrogateescape") for row in rows[:3] for name in row} == {
        "\ufffd".encode(), b"\xff", b"\xfe", b"\xff\xfe"}
