"""The UDP relay: every datagram that holds an event, produced to a topic as it arrived."""

from __future__ import annotations

import socket
import threading
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from ravik import _native

from ._client import kafka as _kafka

# Datagrams taken from a socket before they are produced.
_BATCH = 512


@dataclass
class RelaySummary:
    received: int = 0  # events received (datagrams that hold a flat JSON object)
    delivered: int = 0
    failed: int = 0
    malformed: int = 0  # datagrams that do not hold an event: not forwarded


def relay(
    sockets: Sequence[socket.socket],
    brokers: str,
    topic: str,
    key_field: str | None,
    *,
    stop: threading.Event,
    config: Mapping[str, str] | None = None,
    summary: RelaySummary | None = None,
    timeout_s: float = 30.0,
) -> RelaySummary:
    """Produce every event datagram received on ``sockets`` to ``topic`` until ``stop`` is set.

    Each datagram that is a flat JSON object (as a stream would accept it)
    becomes one message whose value is the datagram's bytes, unchanged, and
    whose key is the text of its ``key_field`` member as the datagram writes
    it (a string's content; a number as written: 21 and 21.0 are two keys);
    no key when absent or null. The message timestamp is the arrival time,
    which a member gives to events without a "timestamp" member. The
    producer is idempotent; a message not delivered within ``timeout_s``
    counts as failed. Raises ``ConnectionError`` when no broker answers
    within ``timeout_s`` at the start. After ``stop``, what the sockets
    still hold is relayed and every message delivered (or failed).
    """
    kafka = _kafka()
    done = summary if summary is not None else RelaySummary()
    lock = threading.Lock()  # guards done's counts, which delivery callbacks and receivers update
    errors: set[str] = set()
    producer = kafka.Producer({"bootstrap.servers": brokers, "enable.idempotence": True, "linger.ms": 5,
                               "message.timeout.ms": max(1, int(timeout_s * 1000)), "log_level": 2,
                               "error_cb": lambda error: errors.add(str(error)), **(config or {})})
    try:
        producer.list_topics(topic, timeout=timeout_s)
    except kafka.KafkaException as error:
        raise ConnectionError(f"no Kafka broker at {brokers} answered within {timeout_s:g} s "
                              f"({error.args[0].str() if error.args else error})") from None

    def delivered(error: Any, message: Any) -> None:
        with lock:
            if error is None:
                done.delivered += 1
            else:
                done.failed += 1

    def forward(values: list[bytes], arrived_ms: int) -> None:
        keys, rejected = _native.datagram_keys(values, key_field)
        skip = set(rejected)
        for i, value in enumerate(values):
            if i in skip:
                continue
            while True:
                try:
                    producer.produce(topic, value=value, key=keys[i], timestamp=arrived_ms, on_delivery=delivered)
                    break
                except BufferError:
                    producer.poll(0.1)
        with lock:
            done.received += len(values) - len(skip)
            done.malformed += len(skip)
        producer.poll(0)

    def receive(sock: socket.socket) -> None:
        sock.settimeout(0.1)
        while True:
            stopping = stop.is_set()
            values: list[bytes] = []
            try:
                values.append(sock.recv(65535))
                sock.setblocking(False)
                while len(values) < _BATCH:
                    values.append(sock.recv(65535))
            except (BlockingIOError, TimeoutError):
                pass
            finally:
                sock.settimeout(0.1)
            if values:
                forward(values, time.time_ns() // 1_000_000)
            elif stopping:
                return  # stopped, and the socket is empty

    threads = [threading.Thread(target=receive, args=(s,), name=f"ravik-relay-{i}", daemon=True)
               for i, s in enumerate(sockets)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    # Messages still undelivered after the timeout count as failed, not as sent.
    left = producer.flush(timeout_s)
    with lock:
        done.failed += left
    return done


def bind_sockets(host: str, port: int, receivers: int) -> list[socket.socket]:
    """``receivers`` UDP sockets bound to one address (SO_REUSEPORT spreads
    the datagrams over them), each with a large receive buffer."""
    sockets: list[socket.socket] = []
    try:
        for _ in range(receivers):
            sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            sockets.append(sock)
            if receivers > 1:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            try:
                sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
            except OSError:
                pass
            sock.bind((host, port))
            port = sock.getsockname()[1]  # port 0: the others join the port the first one got
    except OSError:
        for sock in sockets:
            sock.close()
        raise
    return sockets
