"""The Kafka client library, imported on first use."""

from __future__ import annotations

from typing import Any

INSTALL_HINT = "Kafka needs confluent-kafka: pip install 'ravik[kafka]' (or pip install confluent-kafka)"

def kafka() -> Any:
    try:
        import confluent_kafka
        import confluent_kafka.admin  # noqa: F401  (the state topic's creation)
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return confluent_kafka


# Settings of only one kind of client: librdkafka warns when the other kind
# is given them, so the members' common settings are split by these.
_CONSUMER_ONLY = ("group.", "session.timeout.ms", "heartbeat.interval.ms", "auto.", "enable.auto.", "max.poll.",
                  "partition.assignment.strategy", "isolation.level", "fetch.", "enable.partition.eof", "queued.",
                  "check.crcs", "allow.auto.create.topics")
_PRODUCER_ONLY = ("linger.ms", "queue.buffering.", "batch.", "acks", "request.required.acks", "enable.idempotence",
                  "transactional.id", "transaction.timeout.ms", "compression.", "message.timeout.ms",
                  "delivery.timeout.ms", "enable.gapless.guarantee", "sticky.partitioning", "partitioner",
                  "retries", "message.send.max.retries")


def split_settings(common: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
    """Settings for (consumers, producers) out of settings meant for both."""
    consumer = {k: v for k, v in common.items() if not k.startswith(_PRODUCER_ONLY)}
    producer = {k: v for k, v in common.items() if not k.startswith(_CONSUMER_ONLY)}
    return consumer, producer
