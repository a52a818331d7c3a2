"""A stream's counters for Prometheus (optional dependency: ``pip install 'ravik[metrics]'``)."""

from __future__ import annotations

import threading
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from _ravik import NativeStream
from ravik._diagnostics import diagnostics

if TYPE_CHECKING:
    from wsgiref.simple_server import WSGIServer

INSTALL_HINT = "metrics need prometheus_client: pip install 'ravik[metrics]' (or pip install prometheus_client)"

# stats() keys that only ever grow, with their help texts.
_STATS_COUNTERS = {
    "ingested": "Events offered to the stream's queue",
    "dropped": "Events dropped because the queue was full",
    "microbatches_emitted": "Batches cut from the queue",
    "output_batches": "Result batches returned",
    "output_rows": "Result rows returned",
    "duplicate_events": "Events dropped as duplicates of an event id seen before",
    "late_events": "Events behind the watermark beyond the allowed lateness",
    "checkpoint_saves": "Checkpoints saved",
    "checkpoint_loads": "Checkpoints loaded",
}
_STATS_GAUGES = {
    "open_windows": "Windows open now",
    "seen_event_ids": "Event ids remembered for deduplication",
}
_DIAGNOSTIC_COUNTERS = {
    "malformed_datagrams": "Datagrams (and lines) the parser rejected",
    "kernel_dropped": "Datagrams the kernel dropped before the stream received them",
    "non_integer_times": "Events whose time field was not an integer",
    "events_without_mean": "Window events without a numeric value of the mean field",
    "future_events": "Events dropped for a time too far ahead of the clock",
    "lone_surrogates": "Escaped UTF-16 surrogates without their partner, decoded as U+FFFD",
    "pending_dropped": "Events a cut dropped because the backlog of cut but unpulled events was full",
    "late_side_dropped": "Late events beyond the capacity kept for ravik.late_events",
}
# Event time as gauges, in milliseconds; absent until known.
_DIAGNOSTIC_GAUGES = {
    "newest_event_time": "The newest event time the stream has seen (ms since the epoch)",
    "watermark": "The last pull's watermark (ms since the epoch)",
    "lag_ms": "The wall clock minus the watermark (ms)",
}


def _prometheus() -> Any:
    try:
        import prometheus_client
        import prometheus_client.core
    except ImportError:
        raise ImportError(INSTALL_HINT) from None
    return prometheus_client


class StreamCollector:
    """A Prometheus collector reading a stream's counters at every scrape.

    Metrics are named ``ravik_<key>`` (counters get the ``_total`` suffix on
    exposition): the ``stats()`` keys and the counters of
    ``ravik.diagnostics``. ``labels`` are added to every sample, for example
    ``{"stream": "sensors"}`` when one process exposes several streams.
    """

    def __init__(self, stream: NativeStream, labels: Mapping[str, str] | None = None) -> None:
        self._stream = stream
        self._labels = dict(labels or {})
        self._core = _prometheus().core

    def describe(self) -> list[Any]:
        return []  # described by collect(); no checks at registration

    def collect(self) -> Iterator[Any]:
        core = self._core
        names, values = list(self._labels), list(self._labels.values())
        stats, diag = self._stream.stats(), diagnostics(self._stream)
        for key, text in _STATS_COUNTERS.items():
            family = core.CounterMetricFamily(f"ravik_{key}", text, labels=names)
            family.add_metric(values, stats[key])  # type: ignore[literal-required]
            yield family
        for key, text in _STATS_GAUGES.items():
            family = core.GaugeMetricFamily(f"ravik_{key}", text, labels=names)
            family.add_metric(values, stats[key])  # type: ignore[literal-required]
            yield family
        for key, text in _DIAGNOSTIC_COUNTERS.items():
            family = core.CounterMetricFamily(f"ravik_{key}", text, labels=names)
            family.add_metric(values, diag[key])  # type: ignore[literal-required]
            yield family
        for key, text in _DIAGNOSTIC_GAUGES.items():
            value = diag[key]  # type: ignore[literal-required]
            if value is not None:
                family = core.GaugeMetricFamily(f"ravik_{key}", text, labels=names)
                family.add_metric(values, value)
                yield family


@dataclass
class MetricsServer:
    """An HTTP server answering ``GET /metrics`` on a thread of its own."""

    server: WSGIServer
    thread: threading.Thread

    @property
    def port(self) -> int:
        return int(self.server.server_address[1])

    def close(self) -> None:
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()


def serve_metrics(stream: NativeStream, port: int, *, addr: str = "127.0.0.1",
                  labels: Mapping[str, str] | None = None) -> MetricsServer:
    """Serve ``stream``'s counters in the Prometheus text format on ``addr:port``.

    Port 0 picks a free port (``MetricsServer.port``). The server thread is a
    daemon; ``close()`` stops it. Raises ImportError with the install command
    when prometheus_client is missing.
    """
    prometheus = _prometheus()
    registry = prometheus.CollectorRegistry(auto_describe=False)
    registry.register(StreamCollector(stream, labels))
    server, thread = prometheus.start_http_server(port, addr=addr, registry=registry)
    return MetricsServer(server, thread)
