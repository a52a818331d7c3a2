"""The group member: one stream per assigned partition, its state kept by a
checkpoint store (``_store``), its results returned and optionally produced."""

from __future__ import annotations

import json
import time
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

from _ravik import NativeStream
from ravik import _native
from ravik._batches import rows
from ravik._output import json_row
from ravik._types import Columns, PlanDict

from ._client import kafka as _kafka
from ._store import DirectoryStore

# Messages taken per poll at most; each partition's share is processed at once.
_MAX_BATCH = 10_000


@dataclass
class _Partition:
    stream: NativeStream
    next_offset: int | None = None  # the next message not yet in the state
    saved_offset: int | None = None  # next_offset at the last checkpoint (or load)
    committed_offset: int | None = None  # the last offset committed by this member


@dataclass
class PartitionBatch:
    """The results of one poll for one partition."""

    topic: str
    partition: int
    columns: Columns


@dataclass
class PartitionedConsumer:
    """A member of a consumer group that runs the plan on each assigned partition.

    ``poll()`` takes the messages that arrived (at most 10,000), parses each
    value natively as a datagram would be parsed (a value that is not a flat
    JSON object counts in that partition stream's malformed datagrams),
    processes every partition's share at once and returns the results. An
    event without a "timestamp" member gets its message's timestamp (not the
    time it was consumed), so a replay times it the same way. Results are
    also produced to ``output_topic`` when given: one JSON object per row,
    keyed by the row's group value (or event id).

    Checkpoints are saved every ``checkpoint_every_s`` seconds, when a
    partition is revoked and at ``close()``, each followed by the delivery of
    the results produced so far and the commit of the offsets it covers.
    Without ``state_dir`` nothing is saved and offsets are committed after
    processing: a partition that moves starts with empty state.
    """

    brokers: str
    topic: str
    group: str
    plan: PlanDict
    state_dir: str | None = None
    output_topic: str | None = None
    config: Mapping[str, str] = field(default_factory=dict)
    checkpoint_every_s: float = 5.0
    max_future_ms: int | None = None
    on_error: Callable[[str], None] = lambda text: None
    #: With a plan of ``late="side"``: the late events are produced here,
    #: each as the JSON object of its fields, keyed as the results are.
    late_topic: str | None = None

    def __post_init__(self) -> None:
        kafka = _kafka()
        self._kafka = kafka
        self._store = DirectoryStore(self.state_dir) if self.state_dir is not None else None
        settings = {"bootstrap.servers": self.brokers, "group.id": self.group, "enable.auto.commit": False,
                    "auto.offset.reset": "earliest", **self.config}
        self._consumer = kafka.Consumer(settings)
        self._producer = None
        if self.output_topic is not None or self.late_topic is not None:
            producer_settings = {k: v for k, v in self.config.items()
                                 if not k.startswith(("group.", "session.", "auto.", "enable.auto", "max.poll"))}
            self._producer = kafka.Producer({"bootstrap.servers": self.brokers, "enable.idempotence": True,
                                             **producer_settings})
        self._partitions: dict[int, _Partition] = {}
        self._next_save = time.monotonic() + self.checkpoint_every_s
        self._closed = False
        options = self.plan.get("options")
        self._idle_close = options is not None and options["idle_close_ms"] is not None
        window = self.plan["window"]
        self._key_field = (window["by"] if window and window["by"] else self.plan["event_id_field"])
        self._consumer.subscribe([self.topic], on_assign=self._on_assign, on_revoke=self._on_revoke,
                                 on_lost=self._on_lost)

    # ------------------------------------------------------------ rebalances

    def _on_assign(self, consumer: Any, partitions: list[Any]) -> None:
        for tp in partitions:
            stream = NativeStream.manual(_MAX_BATCH, 10**9, _MAX_BATCH)
            _native.set_max_pending(stream, _MAX_BATCH)
            if self.max_future_ms is not None:
                _native.set_max_future_ms(stream, self.max_future_ms)
            part = _Partition(stream)
            if self._store is not None:
                offset = self._store.restore(stream, self.topic, tp.partition)
                if offset is not None:
                    part.next_offset = part.saved_offset = offset
                    tp.offset = offset  # resume where the state ends
            self._partitions[tp.partition] = part
        consumer.assign(partitions)

    def _on_revoke(self, consumer: Any, partitions: list[Any]) -> None:
        owned = [tp.partition for tp in partitions if tp.partition in self._partitions]
        self._save_and_commit(owned)
        for p in owned:
            self._partitions.pop(p).stream.close()

    def _on_lost(self, consumer: Any, partitions: list[Any]) -> None:
        # Another member may own them already: nothing is saved or committed.
        for tp in partitions:
            if (part := self._partitions.pop(tp.partition, None)) is not None:
                part.stream.close()

    # ------------------------------------------------------------ processing

    def poll(self, timeout_s: float = 1.0) -> list[PartitionBatch]:
        """Process the messages that arrive within ``timeout_s``; returns the results."""
        messages = self._consumer.consume(_MAX_BATCH, timeout_s)
        shares: dict[int, list[Any]] = {}
        for m in messages:
            if m.error() is not None:
                if m.error().fatal():
                    raise self._kafka.KafkaException(m.error())
                self.on_error(str(m.error()))
                continue
            shares.setdefault(m.partition(), []).append(m)
        results: list[PartitionBatch] = []
        for partition, share in shares.items():
            part = self._partitions.get(partition)
            if part is None:
                continue  # revoked during this poll; the new owner reads them again
            values = [m.value() for m in share if m.value() is not None]  # tombstones carry no event
            stamps = [m.timestamp()[1] for m in share if m.value() is not None]
            _native.emit_datagrams(part.stream, values, stamps if all(t >= 0 for t in stamps) else None)
            part.next_offset = share[-1].offset() + 1
            self._pull(partition, part, results)
        if self._idle_close:
            # Partitions that got nothing: their windows may close for idleness.
            for partition, part in self._partitions.items():
                if partition not in shares:
                    self._pull(partition, part, results)
        if time.monotonic() >= self._next_save:
            self.checkpoint()
        return results

    def _pull(self, partition: int, part: _Partition, results: list[PartitionBatch]) -> None:
        out = _native.pull(part.stream, self.plan, True, True, False)[0]
        if out is not None:
            results.append(PartitionBatch(self.topic, partition, out))
            self._produce(out)
        if self.late_topic is not None and (late := _native.late_events(part.stream, False)) is not None:
            self._produce(late, self.late_topic)

    def _produce(self, columns: Columns, topic: str | None = None) -> None:
        topic = self.output_topic if topic is None else topic
        if self._producer is None or topic is None:
            return
        for row in rows(columns):
            key = row.get(self._key_field) if self._key_field else None
            value = json.dumps(json_row(row), separators=(",", ":"), allow_nan=False)
            while True:
                try:
                    self._producer.produce(topic, value=value.encode(),
                                           key=None if key is None else str(key).encode())
                    break
                except BufferError:  # the local queue is full: let deliveries drain it
                    self._producer.poll(0.1)
        self._producer.poll(0)

    def checkpoint(self) -> None:
        """Save every partition's state, deliver the results so far, commit the offsets."""
        self._save_and_commit(list(self._partitions))
        self._next_save = time.monotonic() + self.checkpoint_every_s

    def _save_and_commit(self, partitions: list[int]) -> None:
        owned = [p for p in partitions if p in self._partitions and self._partitions[p].next_offset is not None]
        to_save = [p for p in owned if self._partitions[p].next_offset != self._partitions[p].saved_offset]
        if self._store is not None:
            for p in to_save:
                part = self._partitions[p]
                assert part.next_offset is not None
                self._store.save(part.stream, self.topic, p, part.next_offset)
        for p in to_save:
            self._partitions[p].saved_offset = self._partitions[p].next_offset
        # Offsets the checkpoints cover and the group does not have yet
        # (also those whose commit failed before).
        to_commit = [p for p in owned if self._partitions[p].saved_offset != self._partitions[p].committed_offset]
        if not to_commit:
            return
        if self._producer is not None:
            left = self._producer.flush(30)
            if left:
                raise RuntimeError(f"{left} result messages not delivered to {self.output_topic}; offsets not committed")
        offsets = [self._kafka.TopicPartition(self.topic, p, self._partitions[p].saved_offset) for p in to_commit]
        try:
            self._consumer.commit(offsets=offsets, asynchronous=False)
        except self._kafka.KafkaException as error:
            # A rebalance under way (or a coordinator moving) refuses the
            # commit. Nothing is lost: the checkpoints are saved and name the
            # offset they cover, which is where the next owner resumes; the
            # commit is tried again at the next checkpoint.
            if error.args and getattr(error.args[0], "fatal", lambda: False)():
                raise
            self.on_error(f"offsets not committed yet: {error}")
            return
        for p in to_commit:
            self._partitions[p].committed_offset = self._partitions[p].saved_offset

    def flush_windows(self) -> list[PartitionBatch]:
        """Close every open window of every assigned partition now and return them.

        For the end of a finite input (a replay): windows otherwise close only
        when newer events move the partition's watermark past them. The
        flushed windows are produced to the output topic as well.
        """
        results = []
        for partition, part in sorted(self._partitions.items()):
            out = _native.flush_windows(part.stream, self.plan)
            if out:
                results.append(PartitionBatch(self.topic, partition, out))
                self._produce(out)
                part.saved_offset = None  # the state changed: the next checkpoint saves it
        return results

    def positions(self) -> dict[int, int | None]:
        """For each assigned partition, the next offset not yet processed (None: nothing read yet)."""
        return {p: part.next_offset for p, part in self._partitions.items()}

    def assignment(self) -> list[int]:
        """The partitions this member processes now."""
        return sorted(self._partitions)

    def streams(self) -> dict[int, NativeStream]:
        """The stream of each assigned partition (for stats() and diagnostics)."""
        return {p: part.stream for p, part in self._partitions.items()}

    def close(self) -> None:
        """Save, deliver and commit everything, then leave the group."""
        if self._closed:
            return
        self._closed = True
        self.checkpoint()
        self._consumer.close()  # leaves the group; the revocation saves nothing new
        for part in self._partitions.values():
            part.stream.close()
        self._partitions.clear()
        if self._producer is not None:
            self._producer.flush(30)

    def __enter__(self) -> PartitionedConsumer:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
