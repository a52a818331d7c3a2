"""Kafka: consumer groups with one stream per partition, and a UDP relay into a topic.

Needs the optional dependency ``confluent-kafka`` (``pip install 'ravik[kafka]'``);
nothing here is imported by ``import ravik``.

The model is the one of partition-scoped stream tasks: producers key events
by the plan's group field (or the event id), so that all events of one group
land in one partition; each process of a consumer group runs one stream per
partition assigned to it, with its own watermark, deduplication and windows.
Each partition's state is checkpointed to ``<state_dir>/<topic>-<partition>@<offset>.ckpt``,
the offset being the next message the state does not hold yet; offsets are
committed only after the checkpoint that covers them is saved (and the
results before them are delivered). On assignment the newest checkpoint of
the partition is loaded before any message is processed and consumption
resumes at its offset (at the committed offset when there is none).

The group member lives in ``_member``, the checkpoint store in ``_store``,
the relay in ``_relay``.
"""

from ._client import INSTALL_HINT
from ._mock import MockCluster
from ._member import DeliveryError, PartitionBatch, PartitionedConsumer
from ._relay import RelaySummary, relay

__all__ = ["DeliveryError", "INSTALL_HINT", "MockCluster", "PartitionBatch", "PartitionedConsumer", "RelaySummary", "relay"]
