"""librdkafka's mock cluster, made through the library's own C interface
(``rdkafka_mock.h``), for trying ``relay`` and ``consume`` on one machine and
for tests: the Python client makes one only with a fixed number of
partitions per topic and no way to create topics, which this adds."""

from __future__ import annotations

import ctypes
import glob
import os
from typing import Any

from ._client import kafka as _kafka


def _library() -> ctypes.CDLL:
    """The librdkafka that confluent-kafka loads (its wheel bundles one), else the system's."""
    package = os.path.dirname(os.path.dirname(_kafka().__file__))
    found = sorted(glob.glob(os.path.join(package, "confluent_kafka.libs", "librdkafka*.so*")))
    lib = ctypes.CDLL(found[0] if found else "librdkafka.so.1")
    lib.rd_kafka_conf_new.restype = ctypes.c_void_p
    lib.rd_kafka_conf_set.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p,
                                      ctypes.c_size_t]
    lib.rd_kafka_new.restype = ctypes.c_void_p
    lib.rd_kafka_new.argtypes = [ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
    lib.rd_kafka_destroy.argtypes = [ctypes.c_void_p]
    lib.rd_kafka_mock_cluster_new.restype = ctypes.c_void_p
    lib.rd_kafka_mock_cluster_new.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.rd_kafka_mock_cluster_destroy.argtypes = [ctypes.c_void_p]
    lib.rd_kafka_mock_cluster_bootstraps.restype = ctypes.c_char_p
    lib.rd_kafka_mock_cluster_bootstraps.argtypes = [ctypes.c_void_p]
    lib.rd_kafka_mock_group_initial_rebalance_delay_ms.argtypes = [ctypes.c_void_p, ctypes.c_int]
    lib.rd_kafka_mock_topic_create.restype = ctypes.c_int
    lib.rd_kafka_mock_topic_create.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int, ctypes.c_int]
    return lib


class MockCluster:
    """A mock cluster of ``brokers`` brokers on 127.0.0.1, alive until ``close()``.

    A group's first assignment waits ``initial_rebalance_delay_ms`` for more
    members to join (Kafka's group.initial.rebalance.delay.ms; its default
    is 3 s, this one's none, so that a member on its own starts at once).

    Everything is in memory. Topics are created on first use with 4
    partitions, or with ``create_topic``. librdkafka's mock implements the
    group and transaction protocols, but not everything a broker does: it
    neither hides aborted transactions from ``read_committed`` readers nor
    applies transactional offset commits, and it does not answer the admin
    requests that create topics or describe their configuration.
    """

    def __init__(self, brokers: int = 1, initial_rebalance_delay_ms: int = 0) -> None:
        self._lib = lib = _library()
        conf = lib.rd_kafka_conf_new()
        error = ctypes.create_string_buffer(512)
        for key, value in ((b"log_level", b"2"),):
            lib.rd_kafka_conf_set(conf, key, value, error, len(error))
        self._rk: Any = lib.rd_kafka_new(0, conf, error, len(error))  # 0: RD_KAFKA_PRODUCER; owns conf
        if not self._rk:
            raise RuntimeError(f"cannot make a Kafka client: {error.value.decode(errors='replace')}")
        self._cluster: Any = lib.rd_kafka_mock_cluster_new(self._rk, brokers)
        if not self._cluster:
            lib.rd_kafka_destroy(self._rk)
            raise RuntimeError("cannot start the mock cluster")
        lib.rd_kafka_mock_group_initial_rebalance_delay_ms(self._cluster, initial_rebalance_delay_ms)
        self.bootstrap_servers: str = lib.rd_kafka_mock_cluster_bootstraps(self._cluster).decode()

    def create_topic(self, name: str, partitions: int) -> None:
        code = self._lib.rd_kafka_mock_topic_create(self._cluster, name.encode(), partitions, 1)
        if code != 0:
            raise RuntimeError(f"cannot create topic {name}: error {code}")

    def close(self) -> None:
        if self._cluster:
            self._lib.rd_kafka_mock_cluster_destroy(self._cluster)
            self._lib.rd_kafka_destroy(self._rk)
            self._cluster = self._rk = None

    def __enter__(self) -> MockCluster:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()
