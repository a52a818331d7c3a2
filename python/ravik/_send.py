"""A sender of synthetic sensor events, one flat JSON object per datagram."""

from __future__ import annotations

import json
import math
import random
import socket
import time
from collections import deque
from collections.abc import Callable
from dataclasses import dataclass

# Duplicates are resends of one of the most recent events.
_RECENT_EVENTS = 100


@dataclass
class SendSummary:
    datagrams: int = 0
    events: int = 0
    late: int = 0
    duplicates: int = 0
    seconds: float = 0.0


@dataclass
class SendOptions:
    host: str
    port: int
    rate: float
    count: int | None
    duration: float | None
    sensors: int
    late_share: float
    duplicate_share: float
    late_by_ms: int
    step_ms: int | None
    start_ms: int | None
    seed: int | None
    id_prefix: str


def now_ms() -> int:
    return time.time_ns() // 1_000_000


def send_events(options: SendOptions, stop_requested: Callable[[], bool] = lambda: False) -> SendSummary:
    """Send events until ``count`` or ``duration`` is reached, or a stop is requested.

    Every event carries "id" (``<prefix>-<n>``), "sensor" (``sensor-<k>``,
    round robin), "value" (a per-sensor level plus a slow wave and noise) and
    "timestamp" (milliseconds: the wall clock, or ``start_ms + n * step_ms``
    with a step). A late event has its timestamp moved back by ``late_by_ms``;
    a duplicate is a resend of a recent datagram, byte for byte. Each datagram
    is a duplicate with probability ``duplicate_share``, otherwise a new event,
    which is late with probability ``late_share``.
    """
    rng = random.Random(options.seed)
    sensors = [f"sensor-{k + 1}" for k in range(options.sensors)]
    recent: deque[bytes] = deque(maxlen=_RECENT_EVENTS)
    summary = SendSummary()
    start_ms = options.start_ms if options.start_ms is not None else now_ms()
    target = (options.host, options.port)
    started = time.perf_counter()
    deadline = started + options.duration if options.duration is not None else math.inf
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        while options.count is None or summary.datagrams < options.count:
            now = time.perf_counter()
            if now >= deadline or stop_requested():
                break
            if options.rate > 0:
                delay = started + summary.datagrams / options.rate - now
                # Sleeping for less than a millisecond overshoots by more than
                # it waits; sending a little early keeps the average rate.
                if delay > 0.001:
                    time.sleep(min(delay, deadline - now))
                    continue
            if recent and rng.random() < options.duplicate_share:
                payload = rng.choice(recent)
                summary.duplicates += 1
            else:
                payload = _new_event(options, rng, sensors, summary, start_ms)
                recent.append(payload)
            sock.sendto(payload, target)
            summary.datagrams += 1
    summary.seconds = time.perf_counter() - started
    return summary


def _new_event(options: SendOptions, rng: random.Random, sensors: list[str], summary: SendSummary,
               start_ms: int) -> bytes:
    n = summary.events
    summary.events += 1
    t = start_ms + n * options.step_ms if options.step_ms is not None else now_ms()
    # The first event has nothing to be late against, so it is never sent late.
    if rng.random() < options.late_share and n > 0:
        t -= options.late_by_ms
        summary.late += 1
    k = n % len(sensors)
    wave = 3.0 * math.sin(2.0 * math.pi * (t / 1000.0) / 60.0)
    value = round(20.0 + 2.0 * k + wave + rng.gauss(0.0, 0.5), 3)
    event = {"id": f"{options.id_prefix}-{n}", "sensor": sensors[k], "value": value, "timestamp": t}
    return json.dumps(event, separators=(",", ":")).encode()
