"""Helpers shared by the UDP tests: a sender socket, a pass-through plan and
polling of a stream's results with deadlines."""

import socket
import time

import _ravik

# Every event passes through unchanged; late events are kept, so the order of
# test events never depends on their (wall-clock) event times.
PASS_THROUGH = {
    "filters": [],
    "select": None,
    "window": None,
    "mean": None,
    "watermark_ms": None,
    "allowed_lateness_ms": None,
    "event_id_field": None,
    "drop_late": False,
}

SENTINEL = b'{"sentinel":"end"}'

DEADLINE_S = 10.0


def udp_stream(batch_size=1000, linger_ms=0, capacity=100_000, host="127.0.0.1", port=0):
    return _ravik.NativeStream.udp(host, port, batch_size, linger_ms, capacity)


class Sender:
    def __init__(self, address):
        self.address = address
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)

    def send(self, data):
        self.sock.sendto(data, self.address)

    def close(self):
        self.sock.close()


def columns_to_rows(columns):
    names = list(columns)
    length = len(columns[names[0]]) if names else 0
    return [{name: columns[name][i] for name in names} for i in range(length)]


def pull_rows(stream, count, deadline_s=DEADLINE_S):
    """Pulls until at least `count` rows came out or the deadline passes."""
    rows = []
    deadline = time.monotonic() + deadline_s
    while len(rows) < count and time.monotonic() < deadline:
        batch = stream.next_batch(PASS_THROUGH, 50)
        if batch is not None:
            rows.extend(columns_to_rows(batch))
    return rows


def pull_until_sentinel(stream, deadline_s=DEADLINE_S):
    """Pulls until the sentinel's row came out; returns every row seen, the
    sentinel's included. Everything sent before the sentinel has then been
    handled by the receiver."""
    rows = []
    deadline = time.monotonic() + deadline_s
    while time.monotonic() < deadline:
        batch = stream.next_batch(PASS_THROUGH, 50)
        if batch is None:
            continue
        rows.extend(columns_to_rows(batch))
        if any(r.get("sentinel") == "end" for r in rows):
            return rows
    raise AssertionError(f"sentinel did not come out within {deadline_s} s; got {len(rows)} rows")


def wait_for(predicate, deadline_s=DEADLINE_S):
    deadline = time.monotonic() + deadline_s
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.002)
    return predicate()
