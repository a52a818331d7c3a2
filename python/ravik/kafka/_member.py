"""The group member: one stream per assigned partition, its state kept by a
checkpoint store (``_store``), its results returned and optionally produced."""

from __future__ import annotations

import json
import time
import uuid
from collections.abc import Callable, Mapping
from dataclasses import dataclass, field
from typing import Any

from _ravik import NativeStream
from ravik import _native
from ravik._batches import rows
from ravik._output import json_row
from ravik._types import Columns, PlanDict

from ._client import kafka as _kafka
from ._client import split_settings
from ._store import DirectoryStore, TopicStore

# Messages taken per poll at most; each partition's share is processed at once.
_MAX_BATCH = 10_000


@dataclass
class _Partition:
    stream: NativeStream
    next_offset: int | None = None  # the next message not yet in the state
    saved_offset: int | None = None  # next_offset at the last checkpoint (or load)
    committed_offset: int | None = None  # the last offset committed by this member


class DeliveryError(RuntimeError):
    """Results (or states) not delivered in time: nothing was saved and no
    offset committed, so a successor repeats the work rather than lose it.
    ``pending`` is the number of messages still waiting."""

    def __init__(self, message: str, pending: int) -> None:
        super().__init__(message)
        self.pending = pending


@dataclass
class PartitionBatch:
    """The results of one poll for one partition."""

    topic: str
    partition: int
    columns: Columns


@dataclass
class PartitionedConsumer:
    """A member of a consumer group that runs the plan on each assigned partition.

    ``poll()`` takes the messages that arrived (at most 10,000) and hands
    them to native code in one call, which parses each value as a datagram
    would be parsed (a value that is not a flat JSON object counts in that
    partition stream's malformed datagrams) and processes every partition's
    share; it returns the results. An event without a "timestamp" member
    gets its message's timestamp (not the time it was consumed), so a replay
    times it the same way. Results are also produced to ``output_topic``
    when given: one JSON object per row, keyed by the row's group value (or
    event id).

    State is kept by ``state_dir`` (checkpoint files) or ``state_topic``
    (a compacted topic; True names it ``<group>.ravik-state``). A checkpoint
    covers only results that are safe: delivered to the output topic (the
    producer's flush succeeded first; when it does not, nothing is saved and
    ``DeliveryError`` says how many are pending), or, without an output
    topic, handed to the caller and acknowledged by the next ``poll()``,
    ``commit()`` or ``close()``. Checkpoints are taken every
    ``checkpoint_every_s`` seconds (at the start of a poll), when partitions
    are revoked and at ``close()``; each is followed by the commit of the
    offsets it covers. Without a state store nothing is saved and offsets
    are committed likewise: a partition that moves starts with empty state.

    With ``exactly_once`` (needs an output topic; the state goes to the
    state topic), each checkpoint is one Kafka transaction holding the
    results since the last one, the partitions' states and the consumed
    offsets: a ``read_committed`` reader sees every window once, whenever a
    member dies. Any error of a transaction leaves the member unusable: close
    it, a new one resumes from the last committed checkpoint.

    ``config`` is for both clients (each gets the settings it knows);
    ``consumer_config`` and ``producer_config`` for one of them.
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
    consumer_config: Mapping[str, str] = field(default_factory=dict)
    producer_config: Mapping[str, str] = field(default_factory=dict)
    state_topic: str | bool = False
    exactly_once: bool = False
    #: How long a checkpoint waits for deliveries (and a transaction's calls).
    timeout_s: float = 30.0

    def __post_init__(self) -> None:
        kafka = _kafka()
        self._kafka = kafka
        if self.exactly_once:
            if self.output_topic is None:
                raise ValueError("exactly_once needs an output topic: the results are written in the transaction")
            if self.state_dir is not None:
                raise ValueError("exactly_once keeps the state in the state topic (in the transaction), "
                                 "not in a state directory")
            if self.state_topic is False:
                self.state_topic = True
        elif self.state_dir is not None and self.state_topic is not False:
            raise ValueError("give state_dir or state_topic, not both")
        common_consumer, common_producer = split_settings(dict(self.config))
        self._errors_seen: set[str] = set()
        common = {"bootstrap.servers": self.brokers, "error_cb": self._client_error, "log_level": 2}
        consumer_settings = {**common, "group.id": self.group, "enable.auto.commit": False,
                             "auto.offset.reset": "earliest", **common_consumer, **self.consumer_config}
        self._cooperative = "cooperative" in str(consumer_settings.get("partition.assignment.strategy", ""))
        producer_settings: dict[str, Any] = {**common, "enable.idempotence": True, **common_producer,
                                             **self.producer_config}
        if self.exactly_once:
            instance = consumer_settings.get("group.instance.id") or uuid.uuid4().hex
            # A restarted member with the same static identity fences its
            # predecessor and aborts its open transaction at once.
            producer_settings.setdefault("transactional.id", f"ravik-{self.group}-{instance}")
        self._producer: Any = None
        if self.output_topic is not None or self.late_topic is not None or self.state_topic is not False:
            self._producer = kafka.Producer(producer_settings)
        if self.exactly_once:
            self._producer.init_transactions(self.timeout_s)
            self._producer.begin_transaction()
        self._store: DirectoryStore | TopicStore | None = None
        if self.state_dir is not None:
            self._store = DirectoryStore(self.state_dir)
        elif self.state_topic is not False:
            name = f"{self.group}.ravik-state" if self.state_topic is True else str(self.state_topic)
            reader = {k: v for k, v in {**common_consumer, **self.consumer_config}.items()
                      if not k.startswith(("group.", "partition.assignment"))}
            self._store = TopicStore(name, {**common, **reader},
                                     {**common, **common_producer, **self.producer_config}, self._producer,
                                     self.timeout_s)
        self._consumer = kafka.Consumer(consumer_settings)
        self._partitions: dict[int, _Partition] = {}
        self._streams: dict[int, NativeStream] = {}  # the streams of _partitions, as emit_messages takes them
        self._retired: dict[str, int] = {}  # the stats of streams revoked during the run
        self._broken: str | None = None
        self._next_save = time.monotonic() + self.checkpoint_every_s
        self._closed = False
        options = self.plan.get("options")
        self._idle_close = options is not None and options["idle_close_ms"] is not None
        window = self.plan["window"]
        self._key_field = (window["by"] if window and window["by"] else self.plan["event_id_field"])
        self._consumer.subscribe([self.topic], on_assign=self._on_assign, on_revoke=self._on_revoke,
                                 on_lost=self._on_lost)

    def _client_error(self, error: Any) -> None:
        # Each distinct client error once: a broker that does not answer is
        # reported again and again by the client.
        text = str(error)
        if text not in self._errors_seen:
            self._errors_seen.add(text)
            self.on_error(text)

    def wait_for_broker(self, timeout_s: float) -> None:
        """Raises ``ConnectionError`` unless a broker answers within ``timeout_s``."""
        try:
            self._consumer.list_topics(self.topic, timeout=timeout_s)
        except self._kafka.KafkaException as error:
            raise ConnectionError(f"no Kafka broker at {self.brokers} answered within {timeout_s:g} s "
                                  f"({error.args[0].str() if error.args else error})") from None

    # ------------------------------------------------------------ rebalances

    def _on_assign(self, consumer: Any, partitions: list[Any]) -> None:
        if self.exactly_once and self._partitions:
            # Reading the state topic must not wait on this member's own open
            # transaction (cooperative assignments come without a revocation).
            self._checkpoint_transaction()
        fresh: dict[int, NativeStream] = {}
        for tp in partitions:
            stream = NativeStream.manual(_MAX_BATCH, 10**9, _MAX_BATCH)
            _native.set_max_pending(stream, _MAX_BATCH)
            if self.max_future_ms is not None:
                _native.set_max_future_ms(stream, self.max_future_ms)
            fresh[tp.partition] = stream
        restored = self._store.restore(fresh, self.topic) if self._store is not None else {}
        for tp in partitions:
            part = _Partition(fresh[tp.partition])
            if (offset := restored.get(tp.partition)) is not None:
                part.next_offset = part.saved_offset = offset
                tp.offset = offset  # resume where the state ends
            self._partitions[tp.partition] = part
            self._streams[tp.partition] = part.stream
        if self._cooperative:
            consumer.incremental_assign(partitions)
        else:
            consumer.assign(partitions)

    def _on_revoke(self, consumer: Any, partitions: list[Any]) -> None:
        owned = [tp.partition for tp in partitions if tp.partition in self._partitions]
        if self._broken is None:
            if self.exactly_once:
                self._checkpoint_transaction()
            else:
                self._save_and_commit(owned)
        for p in owned:
            self._retire(p)
        if self._cooperative:
            consumer.incremental_unassign(partitions)

    def _on_lost(self, consumer: Any, partitions: list[Any]) -> None:
        # Another member may own them already: nothing is saved or committed.
        for tp in partitions:
            if tp.partition in self._partitions:
                self._retire(tp.partition)

    def _retire(self, partition: int) -> None:
        part = self._partitions.pop(partition)
        del self._streams[partition]
        part.stream.close()
        for key, value in part.stream.stats().items():
            self._retired[key] = self._retired.get(key, 0) + int(value)  # type: ignore[call-overload]

    # ------------------------------------------------------------ processing

    def poll(self, timeout_s: float = 1.0) -> list[PartitionBatch]:
        """Process the messages that arrive within ``timeout_s``; returns the results.

        Calling it again acknowledges the results it returned before: a
        checkpoint due now covers them."""
        self._usable()
        if time.monotonic() >= self._next_save:
            self.checkpoint()
        messages = self._consumer.consume(_MAX_BATCH, timeout_s)
        positions, errors = _native.emit_messages(self._streams, messages)
        for m in errors:
            if m.error().fatal():
                raise self._kafka.KafkaException(m.error())
            self._client_error(m.error())
        results: list[PartitionBatch] = []
        for partition, offset in positions.items():
            part = self._partitions[partition]
            part.next_offset = offset
            self._pull(partition, part, results)
        if self._idle_close:
            # Partitions that got nothing: their windows may close for idleness.
            for partition, part in self._partitions.items():
                if partition not in positions:
                    self._pull(partition, part, results)
        return results

    def _usable(self) -> None:
        if self._broken is not None:
            raise RuntimeError(f"this member can no longer go on ({self._broken}): close it; a new member "
                               "resumes from the last committed checkpoint")
        if self._closed:
            raise RuntimeError("this member is closed")

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

    def commit(self) -> None:
        """Acknowledge the results returned so far: checkpoint now."""
        self._usable()
        self.checkpoint()

    def checkpoint(self) -> None:
        """Deliver the results so far, save every partition's state, commit the offsets."""
        if self.exactly_once:
            self._checkpoint_transaction()
        else:
            self._save_and_commit(list(self._partitions))
        self._next_save = time.monotonic() + self.checkpoint_every_s

    def _changed(self, partitions: list[int]) -> tuple[list[int], list[int]]:
        """Of ``partitions``: those with a position, and those whose state moved since it was saved."""
        owned = [p for p in partitions if p in self._partitions and self._partitions[p].next_offset is not None]
        return owned, [p for p in owned if self._partitions[p].next_offset != self._partitions[p].saved_offset]

    def _save_and_commit(self, partitions: list[int]) -> None:
        owned, to_save = self._changed(partitions)
        # Results first: a state may cover only what is delivered.
        if self._producer is not None and (left := self._producer.flush(self.timeout_s)):
            raise DeliveryError(f"{left} messages not delivered within {self.timeout_s:g} s (results to "
                                f"{self.output_topic or self.late_topic}, or states): nothing saved, no offset "
                                "committed", left)
        if self._store is not None and to_save:
            for p in to_save:
                part = self._partitions[p]
                assert part.next_offset is not None
                self._store.save(part.stream, self.topic, p, part.next_offset)
            if left := self._store.delivered(self.timeout_s):
                raise DeliveryError(f"{left} state messages not delivered to the state topic within "
                                    f"{self.timeout_s:g} s: no offset committed", left)
        for p in to_save:
            self._partitions[p].saved_offset = self._partitions[p].next_offset
        # Offsets the checkpoints cover and the group does not have yet
        # (also those whose commit failed before).
        to_commit = [p for p in owned if self._partitions[p].saved_offset != self._partitions[p].committed_offset]
        if not to_commit:
            return
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

    def _checkpoint_transaction(self) -> None:
        """Commits the open transaction (the results since the last one) with
        the changed partitions' states and every owned partition's offset,
        and opens the next one."""
        if self._broken is not None:
            return
        owned, to_save = self._changed(list(self._partitions))
        producer = self._producer
        try:
            # The results are delivered before the states are written, so that
            # the states reach the log as late as they can.
            producer.flush(self.timeout_s)
            assert self._store is not None
            for p in to_save:
                part = self._partitions[p]
                assert part.next_offset is not None
                self._store.save(part.stream, self.topic, p, part.next_offset)
            if owned:
                offsets = [self._kafka.TopicPartition(self.topic, p, self._partitions[p].next_offset) for p in owned]
                producer.send_offsets_to_transaction(offsets, self._consumer.consumer_group_metadata(),
                                                     self.timeout_s)
            producer.commit_transaction(self.timeout_s)
        except self._kafka.KafkaException as error:
            self._broken = f"transaction failed: {error.args[0] if error.args else error}"
            if error.args and error.args[0].txn_requires_abort():
                try:
                    producer.abort_transaction(self.timeout_s)
                except self._kafka.KafkaException:
                    pass
            raise
        for p in to_save:
            self._partitions[p].saved_offset = self._partitions[p].next_offset
        for p in owned:
            self._partitions[p].committed_offset = self._partitions[p].next_offset
        producer.begin_transaction()

    def flush_windows(self) -> list[PartitionBatch]:
        """Close every open window of every assigned partition now and return them.

        For the end of a finite input (a replay): windows otherwise close only
        when newer events move the partition's watermark past them. The
        flushed windows are produced to the output topic as well.
        """
        self._usable()
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
        return dict(self._streams)

    def stats(self) -> dict[str, int]:
        """The streams' stats() summed: the assigned partitions' and those revoked before."""
        totals = dict(self._retired)
        for stream in self._streams.values():
            for key, value in stream.stats().items():
                totals[key] = totals.get(key, 0) + int(value)  # type: ignore[call-overload]
        return totals

    def close(self, *, save: bool = True) -> None:
        """Save, deliver and commit everything (unless ``save`` is false),
        then leave the group."""
        if self._closed:
            return
        try:
            if save and self._broken is None:
                self.checkpoint()
        finally:
            self._closed = True
            self._broken = self._broken or "closed"
            self._consumer.close()  # leaves the group; the revocation saves nothing new
            for p in list(self._partitions):
                self._retire(p)
            if self._producer is not None and not self.exactly_once:
                self._producer.flush(self.timeout_s)
            elif self.exactly_once and not save:
                try:  # its results are not acknowledged: the transaction goes
                    self._producer.abort_transaction(self.timeout_s)
                except self._kafka.KafkaException:
                    pass
            if self._store is not None:
                self._store.close()

    def __enter__(self) -> PartitionedConsumer:
        return self

    def __exit__(self, kind: object, *exc: object) -> None:
        # Leaving on an error: the results of the last poll may not have been
        # written, so they are not acknowledged.
        self.close(save=kind is None)
