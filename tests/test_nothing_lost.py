"""Nothing offered before close() is lost, on every way in; idle streams sleep.

Every event offered before the close comes out of the pulls after it, however
far the queue runs beyond batch_size: the accounting `ingested == dropped +
rows out` holds exactly, and for UDP also `sent == ingested +
kernel_dropped` (datagrams the system accepted before the close are received
before the final cut). Idle streams' threads sleep: their context switches
over a quiet spell are counted, not timed."""

import os
import socket
import threading

import pytest

import _ravik
import ravik
from conftest import wait_until

PASS = ravik.plan()
WINDOWS = ravik.plan(window_seconds=10**6, mean="v")
NEVER = 10**9  # a linger that never passes: only the close cuts


def _emit_columns(stream, n):
    stream.emit_columns({"timestamp": list(range(n)), "v": [1.0] * n})
    return n


def _emit_lines(stream, n):
    ravik.emit_lines(stream, b"".join(b'{"timestamp":%d,"v":1}\n' % i for i in range(n)))
    return n


def _emit_json(stream, n):
    for i in range(n):
        stream.emit_json({"timestamp": i, "v": 1.0})
    return n


def _send_udp(stream, n):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for i in range(n):
            sender.sendto(b'{"timestamp":%d,"v":1}' % i, stream.address())
    return n


@pytest.mark.concurrency
@pytest.mark.parametrize("make, feed, n", [
    pytest.param(lambda: _ravik.NativeStream.manual(1024, NEVER, 200_000), _emit_columns, 100_000, id="columns"),
    pytest.param(lambda: _ravik.NativeStream.manual(4096, NEVER, 200_000), _emit_lines, 10_000, id="lines"),
    pytest.param(lambda: _ravik.NativeStream.manual(7, 5, 200_000), _emit_json, 5_000, id="dicts"),
    pytest.param(lambda: _ravik.NativeStream.udp("127.0.0.1", 0, 1024, 5, 1_000_000), _send_udp, 30_000, id="udp"),
    pytest.param(lambda: ravik.udp_stream("127.0.0.1", 0, receivers=3, batch_size=64, linger_ms=NEVER,
                                          capacity=1_000_000), _send_udp, 30_000, id="udp-receivers"),
])
@pytest.mark.parametrize("plan", [PASS, WINDOWS], ids=["rows", "windows"])
def test_close_gives_out_every_event_offered_before_it(make, feed, n, plan):
    stream = make()
    sent = feed(stream, n)
    stream.close()
    stream.emit_json({"timestamp": 0, "v": 1.0})  # after the close: counted, ignored
    out = 0
    for batch in ravik.batches(stream, plan):
        out += sum(batch["count"]) if "count" in batch else len(batch["timestamp"])
    stats = stream.stats()
    assert stats["ingested"] == stats["dropped"] + out + 1
    if feed is _send_udp:
        assert sent == stats["ingested"] - 1 + ravik.diagnostics(stream)["kernel_dropped"]
    else:
        assert out == sent


def _threads():
    return set(os.listdir("/proc/self/task"))


def _switches(tids):
    total = 0
    for tid in tids:
        with open(f"/proc/self/task/{tid}/status") as f:
            for line in f:
                if "ctxt_switches" in line:  # voluntary and not
                    total += int(line.split()[-1])
    return total


@pytest.mark.concurrency
def test_idle_streams_sleep_and_still_cut_on_time():
    before = _threads()
    streams = [_ravik.NativeStream.manual(100, 5, 1000) for _ in range(8)]
    streams += [_ravik.NativeStream.udp("127.0.0.1", 0, 100, 5, 1000) for _ in range(8)]
    streams.append(ravik.udp_stream("127.0.0.1", 0, receivers=4, linger_ms=5))
    try:
        workers = _threads() - before
        assert len(workers) == 16 + 4
        # Each worker's first turn passes; then nothing is offered for a spell
        # in which a thread that turned every millisecond would switch
        # hundreds of times.
        first = _switches(workers)
        quiet = threading.Event()
        quiet.wait(0.3)
        assert _switches(workers) - first <= 2 * len(workers)
        # Asleep, each still wakes for its first event and cuts it.
        for s in streams:
            if s.address()[0] == "manual":
                s.emit_json({"i": 1})
            else:
                _send_udp(s, 1)
            wait_until(lambda: s.next_batch(PASS, 20))
    finally:
        for s in streams:
            s.close()
