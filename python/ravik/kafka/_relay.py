"""The UDP relay: every event of a stream produced to a topic."""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from _ravik import NativeStream
from ravik._batches import batches, rows
from ravik._output import json_row
from ravik._types import PlanDict

from ._client import kafka as _kafka


@dataclass
class RelaySummary:
    received: int = 0
    delivered: int = 0
    failed: int = 0


def relay(
    stream: NativeStream,
    brokers: str,
    topic: str,
    key_field: str | None,
    *,
    config: Mapping[str, str] | None = None,
    summary: RelaySummary | None = None,
) -> RelaySummary:
    """Produce every event of ``stream`` to ``topic`` until the stream is closed and drained.

    Each event becomes one JSON object (with the "timestamp" the stream gave
    it, its arrival time when the datagram had none), keyed by its
    ``key_field`` value (no key when absent). The producer is idempotent and
    waits for all in-sync replicas; the summary counts the messages
    delivered and those that failed.
    """
    kafka = _kafka()
    done = summary if summary is not None else RelaySummary()
    producer = kafka.Producer({"bootstrap.servers": brokers, "enable.idempotence": True, "linger.ms": 5,
                               **(config or {})})

    def delivered(error: Any, message: Any) -> None:
        if error is None:
            done.delivered += 1
        else:
            done.failed += 1

    plan: PlanDict = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
                      "allowed_lateness_ms": None, "event_id_field": None, "drop_late": False}
    for batch in batches(stream, plan):
        for row in rows(batch):
            event = {k: v for k, v in row.items() if v is not None}
            key = event.get(key_field) if key_field else None
            value = json.dumps(json_row(event), separators=(",", ":"), allow_nan=False).encode()
            while True:
                try:
                    producer.produce(topic, value=value, key=None if key is None else str(key).encode(),
                                     on_delivery=delivered)
                    break
                except BufferError:
                    producer.poll(0.1)
            done.received += 1
        producer.poll(0)
    # Messages still undelivered after a minute count as failed, not as sent.
    done.failed += producer.flush(60)
    return done
