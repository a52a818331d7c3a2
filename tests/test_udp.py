"""UDP streams: binding, reception of real datagrams on 127.0.0.1, ordering,
loss accounting and hostile input."""

import os
import pathlib
import socket
import time

import pytest

import _ravik
from udp_support import PASS_THROUGH, SENTINEL, Sender, pull_rows, pull_until_sentinel, udp_stream, wait_for

# The worker receives and cuts while the test thread pulls: run under ThreadSanitizer too.
pytestmark = pytest.mark.concurrency

CORPUS = pathlib.Path("/work/shared/corpora/json-parsing")
MAX_UDP_PAYLOAD = 65_507  # IPv4: 65,535 minus the IP and UDP headers


@pytest.fixture
def stream():
    s = udp_stream()
    yield s
    s.close()


@pytest.fixture
def sender(stream):
    snd = Sender(stream.address())
    yield snd
    snd.close()


def open_fd_count():
    return len(os.listdir("/proc/self/fd"))


# --- binding -----------------------------------------------------------------

def test_port_zero_reports_the_bound_port_and_receives(stream, sender):
    host, port = stream.address()
    assert host == "127.0.0.1"
    assert 0 < port < 65536
    sender.send(b'{"a":1}')
    rows = pull_rows(stream, 1)
    assert [r["a"] for r in rows] == [1]


def test_wildcard_host_is_reported_as_given():
    s = udp_stream(host="0.0.0.0")
    try:
        host, port = s.address()
        assert host == "0.0.0.0" and port != 0
    finally:
        s.close()


def test_second_stream_on_a_live_port_fails(stream, sender):
    port = stream.address()[1]
    with pytest.raises(RuntimeError, match="^udp bind failed$"):
        udp_stream(port=port)
    # The live stream is untouched by the failed attempt.
    sender.send(b'{"a":2}')
    assert [r["a"] for r in pull_rows(stream, 1)] == [2]


def test_close_releases_the_port():
    first = udp_stream()
    port = first.address()[1]
    first.close()
    second = udp_stream(port=port)
    try:
        assert second.address() == ("127.0.0.1", port)
    finally:
        second.close()


@pytest.mark.parametrize(
    "host",
    ["localhost", "", "1.2.3", "256.0.0.1", "::1", "127.0.0.1 ", " 127.0.0.1", "127.0.0.1\x00", "0x7f.0.0.1"],
    ids=["localhost", "empty", "three-parts", "octet-too-large", "ipv6", "trailing-space", "leading-space",
         "embedded-nul", "hex-octet"],
)
def test_host_that_is_not_a_dotted_quad(host):
    with pytest.raises(ValueError, match="^invalid IPv4 address$"):
        udp_stream(host=host)


@pytest.mark.parametrize("port", [70_000, 65_536, -1], ids=["70000", "65536", "negative"])
def test_port_out_of_16_bit_range(port):
    with pytest.raises(TypeError):
        _ravik.NativeStream.udp("127.0.0.1", port, 10, 0, 10)


def test_failed_binds_leave_no_descriptor_open(stream):
    port = stream.address()[1]
    before = open_fd_count()
    for _ in range(50):
        with pytest.raises(RuntimeError):
            udp_stream(port=port)
        with pytest.raises(ValueError):
            udp_stream(host="localhost")
    assert open_fd_count() == before


def test_closed_stream_leaves_no_descriptor_open():
    before = open_fd_count()
    for _ in range(20):
        udp_stream().close()
    assert open_fd_count() == before


# --- reception -----------------------------------------------------------------

def test_empty_datagrams_change_nothing(stream, sender):
    for _ in range(3):
        sender.send(b"")
    sender.send(SENTINEL)
    rows = pull_until_sentinel(stream)
    assert [r["sentinel"] for r in rows] == ["end"]
    stats = stream.stats()
    assert (stats["ingested"], stats["dropped"]) == (1, 0)


def test_largest_datagram_arrives_whole(stream, sender):
    head, tail = b'{"big":"', b'","n":7}'
    payload = b"x" * (MAX_UDP_PAYLOAD - len(head) - len(tail))
    data = head + payload + tail
    assert len(data) == MAX_UDP_PAYLOAD
    sender.send(data)
    rows = pull_rows(stream, 1)
    assert len(rows) == 1
    assert rows[0]["big"] == payload.decode()
    assert rows[0]["n"] == 7


def send_paced(sender, datagrams, per_second):
    interval = 1.0 / per_second
    start = time.perf_counter()
    for i, data in enumerate(datagrams):
        target = start + i * interval
        while time.perf_counter() < target:
            pass
        sender.send(data)


def test_burst_arrives_complete_and_in_order():
    count = 10_000
    s = udp_stream(batch_size=2000, linger_ms=1, capacity=count * 2)
    snd = Sender(s.address())
    try:
        send_paced(snd, [b'{"seq":%d,"v":1.5}' % i for i in range(count)], per_second=50_000)
        rows = pull_rows(s, count)
        assert [r["seq"] for r in rows] == list(range(count))
        stats = s.stats()
        assert (stats["ingested"], stats["dropped"]) == (count, 0)
    finally:
        snd.close()
        s.close()


def test_full_queue_loss_is_counted_as_dropped():
    # A linger far beyond the test's length: nothing is cut while it runs, so
    # the queue fills and every later datagram is counted as dropped.
    s = udp_stream(batch_size=100, linger_ms=3_600_000, capacity=10)
    snd = Sender(s.address())
    try:
        for i in range(100):
            snd.send(b'{"seq":%d}' % i)
        assert wait_for(lambda: s.stats()["ingested"] == 100)
        assert s.stats()["dropped"] == 90
        s.close()  # the final cut releases what the queue kept: the oldest ten
        rows = pull_rows(s, 10)
        assert [r["seq"] for r in rows] == list(range(10))
    finally:
        snd.close()
        s.close()


def test_datagrams_from_several_senders_all_arrive(stream):
    senders = [Sender(stream.address()) for _ in range(4)]
    try:
        for i in range(200):
            senders[i % 4].send(b'{"seq":%d,"from":%d}' % (i, i % 4))
        rows = pull_rows(stream, 200)
        assert sorted(r["seq"] for r in rows) == list(range(200))
        # Each sender's own datagrams keep their order.
        for k in range(4):
            assert [r["seq"] for r in rows if r["from"] == k] == list(range(k, 200, 4))
    finally:
        for snd in senders:
            snd.close()


def test_windowed_plan_over_udp_events(stream, sender):
    plan = dict(PASS_THROUGH, window={"seconds": 1, "by": "sym", "time_field": "timestamp"}, mean={"field": "px", "alias": "avg_px"},
                drop_late=True)
    for ts, sym, px in [(1000, "a", 1.0), (1200, "b", 10.0), (1500, "a", 3.0), (2500, "a", 7.0)]:
        sender.send(b'{"timestamp":%d,"sym":"%s","px":%s}' % (ts, sym.encode(), repr(px).encode()))
    assert wait_for(lambda: stream.stats()["ingested"] == 4)
    stream.close()  # windows still open are flushed once nothing else comes out
    out = []
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        batch = stream.next_batch(plan, 0)
        if batch is None:
            break
        names = list(batch)
        out.extend({n: batch[n][i] for n in names} for i in range(len(batch[names[0]])))
    got = sorted((r["window_start"], r["sym"], r["avg_px"], r["count"]) for r in out)
    assert got == [(1000, "a", 2.0, 2), (1000, "b", 10.0, 1), (2000, "a", 7.0, 1)]


# --- hostile input -------------------------------------------------------------

def test_hostile_corpus_is_survived(stream, sender):
    files = sorted(p for p in CORPUS.iterdir() if p.is_file())
    assert files, f"no files in {CORPUS}"
    for path in files:
        # A datagram holds at most MAX_UDP_PAYLOAD bytes; longer files are cut.
        sender.send(path.read_bytes()[:MAX_UDP_PAYLOAD])
    sender.send(SENTINEL)
    rows = pull_until_sentinel(stream, deadline_s=30)
    assert rows[-1].get("sentinel") == "end"
    stats = stream.stats()
    # Only what the parser accepted was offered, and all of it came out.
    assert stats["ingested"] == len(rows) == stats["output_rows"]
    assert stats["dropped"] == 0
    assert 1 < len(rows) < len(files) + 1
