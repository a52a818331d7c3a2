"""The Kafka client library, imported on first use."""

from __future__ import annotations

from typing import Any

INSTALL_HINT = "Kafka needs confluent-kafka: pip install 'ravik[kafka]' (or pip install confluent-kafka)"

def kafka() -> Any:
    try:
        import confluent_kafka
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return confluent_kafka
