"""Where a group member keeps each partition's state between owners: files
in a directory (shared storage), or a compacted Kafka topic."""

from __future__ import annotations

import os
import re
import shutil
import tempfile
import time
import uuid
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import Any

from _ravik import NativeStream


class DirectoryStore:
    """Checkpoint files in one directory, ``<topic>-<partition>@<offset>.ckpt``,
    the offset being the next message the state does not hold yet. A
    directory that every member reaches (shared storage) lets a partition
    move between machines with its state."""

    def __init__(self, directory: str) -> None:
        self.directory = directory
        os.makedirs(directory, exist_ok=True)

    def _path(self, topic: str, partition: int, offset: int) -> str:
        return os.path.join(self.directory, f"{topic}-{partition}@{offset}.ckpt")

    def _checkpoints(self, topic: str, partition: int) -> list[tuple[int, str]]:
        """The partition's checkpoint files as (offset, path), newest first."""
        pattern = re.compile(re.escape(f"{topic}-{partition}@") + r"(\d+)\.ckpt")
        found = []
        for name in os.listdir(self.directory):
            if m := pattern.fullmatch(name):
                found.append((int(m.group(1)), os.path.join(self.directory, name)))
        return sorted(found, reverse=True)

    def restore(self, streams: Mapping[int, NativeStream], topic: str) -> dict[int, int]:
        """Loads each partition's newest state into its stream; the offset
        each loaded state covers (partitions without a state are absent)."""
        offsets = {}
        for partition, stream in streams.items():
            for offset, path in self._checkpoints(topic, partition):
                stream.load_checkpoint(path)
                offsets[partition] = offset
                break
        return offsets

    def save(self, stream: NativeStream, topic: str, partition: int, offset: int) -> None:
        """Saves ``stream``'s state as covering the messages before ``offset``,
        then removes the partition's older states."""
        stream.save_checkpoint(self._path(topic, partition, offset))
        for older, path in self._checkpoints(topic, partition):
            if older < offset:
                os.unlink(path)

    def delivered(self, timeout_s: float) -> int:
        """States not yet stored for good (files are, once saved)."""
        return 0

    def close(self) -> None:
        pass


# The head of every part: "ravik-state 1 <offset> <snapshot> <part> <parts>\n".
_HEAD = re.compile(rb"ravik-state 1 (\d+) ([0-9a-f]{32}) (\d+) (\d+)\n")
# Room left in a message for its key, head and the record's own overhead.
_MARGIN = 1024
_DEFAULT_MAX_MESSAGE = 1_000_000


@dataclass
class _Assembly:
    snapshot: bytes
    offset: int
    parts: int
    slot: int
    chunks: list[bytes] = field(default_factory=list)


class TopicStore:
    """Partition states in a compacted topic (created with one partition
    when missing), written to its partition 0, so that a partition moves
    between machines with its state and no shared disk.

    A state is one message keyed ``<topic>/<partition>`` whose value is a
    head line (the offset the state covers, a snapshot id, part 1 of 1) and
    the checkpoint text. A state larger than the topic's maximum message
    size goes in parts, keyed ``<topic>/<partition>/<slot>/<k>``: the parts
    of a state alternate between two slots, so that a state half written
    (its writer killed) never replaces, under compaction, the parts of the
    last whole one. Restoring reads the topic once, keeps only the newest
    whole state of each wanted partition, and loads that one.

    Writes go through ``producer`` (the member's: in a transaction when the
    member runs exactly once), and are read back with the member's
    ``isolation.level``: ``read_committed`` (the default) skips the states of
    transactions that did not commit, and waits while one is open (until
    the broker aborts it: at once when a member with the same
    ``transactional.id`` starts, else after ``transaction.timeout.ms``).
    """

    def __init__(self, name: str, consumer_settings: Mapping[str, Any], admin_settings: Mapping[str, Any],
                 producer: Any, timeout_s: float = 30.0) -> None:
        from ._client import kafka as _kafka

        self._kafka = kafka = _kafka()
        self.name = name
        self.timeout_s = timeout_s
        self._producer = producer
        self._prepare(admin_settings)
        self._reader = kafka.Consumer({**consumer_settings, "group.id": f"{name}.reader", "enable.auto.commit": False,
                                       "enable.partition.eof": True, "auto.offset.reset": "earliest",
                                       "isolation.level": consumer_settings.get("isolation.level", "read_committed")})
        self._slots: dict[tuple[str, int], int] = {}  # the slot a partition's last parts used
        self._scratch = tempfile.mkdtemp(prefix="ravik-state-")

    def _prepare(self, settings: Mapping[str, Any]) -> None:
        """Creates the topic when missing; asks for the largest message it takes."""
        self._admin = admin = self._kafka.admin.AdminClient(
            {k: v for k, v in settings.items() if k != "transactional.id"})
        self._producer_limit = int(settings.get("message.max.bytes", _DEFAULT_MAX_MESSAGE))
        if self.name not in admin.list_topics(timeout=self.timeout_s).topics:
            new = self._kafka.admin.NewTopic(self.name, num_partitions=1, replication_factor=-1,
                                             config={"cleanup.policy": "compact"})
            try:
                admin.create_topics([new], operation_timeout=self.timeout_s)[self.name].result(self.timeout_s)
            except self._kafka.KafkaException as error:
                if error.args[0].code() != self._kafka.KafkaError.TOPIC_ALREADY_EXISTS:
                    raise
            except TimeoutError:
                raise TimeoutError(f"the state topic {self.name} could not be created within {self.timeout_s:g} s: "
                                   "create it (cleanup.policy=compact) beforehand") from None
        # Not waited for: until the broker answers (some never do), the
        # producer's own limit holds.
        resource = self._kafka.admin.ConfigResource("topic", self.name)
        self._described = admin.describe_configs([resource])[resource]

    def _part_size(self) -> int:
        limit = self._producer_limit
        if self._described.done() and self._described.exception() is None:
            entry = self._described.result().get("max.message.bytes")
            if entry is not None and str(entry.value).isdigit():
                limit = min(limit, int(entry.value))
        return max(limit - _MARGIN, _MARGIN)

    def _key(self, topic: str, partition: int, slot: int | None, part: int) -> bytes:
        return (f"{topic}/{partition}" if slot is None else f"{topic}/{partition}/{slot}/{part}").encode()

    def save(self, stream: NativeStream, topic: str, partition: int, offset: int) -> None:
        """Produces ``stream``'s state as covering the messages before
        ``offset``; ``delivered`` tells when it is stored."""
        path = os.path.join(self._scratch, "state.ckpt")
        stream.save_checkpoint(path)
        with open(path, "rb") as f:
            text = f.read()
        snapshot = uuid.uuid4().hex
        size = self._part_size()
        chunks = [text[i:i + size] for i in range(0, len(text), size)] or [b""]
        slot = None
        if len(chunks) > 1:
            slot = 1 - self._slots.get((topic, partition), 1)
            self._slots[(topic, partition)] = slot
        for k, chunk in enumerate(chunks):
            head = f"ravik-state 1 {offset} {snapshot} {k} {len(chunks)}\n".encode()
            key = self._key(topic, partition, slot, k)
            while True:
                try:
                    self._producer.produce(self.name, value=head + chunk, key=key, partition=0)
                    break
                except BufferError:
                    self._producer.poll(0.1)

    def delivered(self, timeout_s: float) -> int:
        """Waits until every state produced is stored; the number not yet."""
        return int(self._producer.flush(timeout_s))

    def restore(self, streams: Mapping[int, NativeStream], topic: str) -> dict[int, int]:
        """Loads the newest whole state of each partition of ``streams`` into
        its stream; the offset each covers (partitions without one absent)."""
        if not streams:
            return {}
        kafka = self._kafka
        prefix = f"{topic}/".encode()
        assembling: dict[int, _Assembly] = {}
        newest: dict[int, _Assembly] = {}
        self._reader.assign([kafka.TopicPartition(self.name, 0, kafka.OFFSET_BEGINNING)])
        deadline = time.monotonic() + self.timeout_s
        try:
            while True:
                if time.monotonic() > deadline:
                    raise TimeoutError(f"the state topic {self.name} was not read to its end within "
                                       f"{self.timeout_s:g} s (a transaction left open holds it until it times out)")
                messages = self._reader.consume(1000, 0.2)
                ended = False
                for m in messages:
                    if m.error() is not None:
                        if m.error().code() == kafka.KafkaError._PARTITION_EOF:
                            ended = True
                            continue
                        raise kafka.KafkaException(m.error())
                    key, value = m.key() or b"", m.value() or b""
                    if not key.startswith(prefix):
                        continue
                    fields = key[len(prefix):].split(b"/")
                    head = _HEAD.match(value)
                    if head is None or not fields[0].isdigit() or int(fields[0]) not in streams:
                        continue
                    partition = int(fields[0])
                    offset, snapshot, part, parts = (int(head[1]), head[2], int(head[3]), int(head[4]))
                    current = assembling.get(partition)
                    if part == 0:
                        current = assembling[partition] = _Assembly(snapshot, offset, parts,
                                                                    int(fields[1]) if len(fields) == 3 else -1)
                    if current is None or current.snapshot != snapshot or part != len(current.chunks):
                        continue  # a part of a state whose start is gone or was replaced
                    current.chunks.append(value[head.end():])
                    if len(current.chunks) == current.parts:
                        newest[partition] = assembling.pop(partition)
                if ended:
                    break
        finally:
            self._reader.unassign()
        offsets = {}
        path = os.path.join(self._scratch, "state.ckpt")
        for partition, state in newest.items():
            with open(path, "wb") as f:
                f.write(b"".join(state.chunks))
            streams[partition].load_checkpoint(path)
            offsets[partition] = state.offset
            if state.slot >= 0:
                self._slots[(topic, partition)] = state.slot
        return offsets

    def close(self) -> None:
        self._reader.close()
        shutil.rmtree(self._scratch, ignore_errors=True)
