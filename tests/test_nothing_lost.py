"""Nothing offered before close() is lost, on every way in; idle streams sleep.

Accounting: `ingested == dropped + events out`, and for UDP also `sent ==
ingested + kernel_dropped` (what the sockets held at the close is received
before the final cut). Idleness is counted in context switches, not timed."""

import os
import socket
import threading

import pytest

import _ravik
import ravik
from conftest import wait_until

NEVER = 10**9  # a linger that never passes: only the close cuts


def _columns(stream, n):
    stream.emit_columns({"timestamp": list(range(n)), "v": [1.0] * n})


def _lines(stream, n):
    ravik.emit_lines(stream, b"".join(b'{"timestamp":%d,"v":1}\n' % i for i in range(n)))


def _udp(stream, n):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for i in range(n):
            sender.sendto(b'{"timestamp":%d,"v":1}' % i, stream.address())


@pytest.mark.concurrency
@pytest.mark.parametrize("make, feed, n", [
    pytest.param(lambda: _ravik.NativeStream.manual(1024, NEVER, 200_000), _columns, 100_000, id="columns"),
    pytest.param(lambda: _ravik.NativeStream.manual(4096, NEVER, 200_000), _lines, 10_000, id="lines"),
    pytest.param(lambda: _ravik.NativeStream.udp("127.0.0.1", 0, 1024, 5, 1 << 20), _udp, 30_000, id="udp"),
    pytest.param(lambda: ravik.udp_stream("127.0.0.1", 0, receivers=3, batch_size=64, linger_ms=NEVER),
                 _udp, 30_000, id="udp-receivers"),
])
@pytest.mark.parametrize("plan", [ravik.plan(), ravik.plan(window_seconds=10**6, mean="v")], ids=["rows", "windows"])
def test_close_gives_out_every_event_offered_before_it(make, feed, n, plan):
    stream = make()
    feed(stream, n)
    stream.close()
    stream.emit_json({"timestamp": 0, "v": 1.0})  # after the close: counted, ignored
    out = sum(sum(b["count"]) if "count" in b else len(b["timestamp"]) for b in ravik.batches(stream, plan))
    stats = stream.stats()
    assert stats["ingested"] == stats["dropped"] + out + 1
    lost_in_kernel = ravik.diagnostics(stream)["kernel_dropped"]
    assert n == out + stats["dropped"] + lost_in_kernel and (out == n or feed is _udp)


def _switches(tids):
    total = 0
    for tid in tids:
        with open(f"/proc/self/task/{tid}/status") as f:
            total += sum(int(line.split()[-1]) for line in f if "ctxt_switches" in line)
    return total


@pytest.mark.concurrency
def test_idle_streams_sleep_and_still_cut_on_time():
    before = set(os.listdir("/proc/self/task"))
    streams = [_ravik.NativeStream.manual(100, 5, 1000) for _ in range(8)]
    streams += [_ravik.NativeStream.udp("127.0.0.1", 0, 100, 5, 1000) for _ in range(8)]
    streams.append(ravik.udp_stream("127.0.0.1", 0, receivers=4, linger_ms=5))
    try:
        workers = set(os.listdir("/proc/self/task")) - before
        assert len(workers) == 16 + 4
        # Once their first turns are over (slow under a sanitizer), a quiet
        # spell in which a thread turning every millisecond would switch
        # hundreds of times.
        def settled():
            before = _switches(workers)
            threading.Event().wait(0.05)
            return _switches(workers) == before and before

        first = wait_until(settled, timeout=10)
        threading.Event().wait(0.3)
        assert _switches(workers) - first <= 2 * len(workers)
        for s in streams:  # asleep, each still wakes for its first event and cuts it
            s.emit_json({"i": 1}) if s.address()[0] == "manual" else _udp(s, 1)
            wait_until(lambda: s.next_batch(ravik.plan(), 20))
    finally:
        for s in streams:
            s.close()
