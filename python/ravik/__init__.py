"""ravik: windowed aggregation of event streams, from UDP or from Python.

The native work is done by :class:`NativeStream` (the extension module
``_ravik``, re-exported here unchanged). This package adds conveniences:
:func:`plan` builds the plan dict; :func:`pull` processes everything
offered so far at once; :func:`batches`, :func:`abatches` (asyncio) and
:func:`arrow_batches` (Arrow data) pull results without holding the
interpreter lock while they wait; :func:`emit_lines` feeds
recorded JSON lines natively; :func:`emit_arrow` feeds Arrow data
(pyarrow, Polars, DuckDB) natively; :func:`join_multicast` receives a multicast
group; :func:`udp_stream` receives one port on several threads; :func:`diagnostics` reports what a stream dropped beyond its
``stats()``; :func:`serve_metrics` exposes the counters to Prometheus;
:class:`Filter` parses ``'field op value'`` filters, and the TypedDicts
describe the dicts that cross the boundary. ``python -m ravik`` is a
command-line listener, test sender and replayer.
"""

from importlib.metadata import version as _version

from _ravik import NativeStream
from ravik._arrow_input import emit_arrow
from ravik._batches import abatches, arrow_batches, batches, late_events, pull, rows
from ravik._diagnostics import diagnostics
from ravik._lines import emit_lines
from ravik._metrics import StreamCollector, serve_metrics
from ravik._multicast import join_multicast
from ravik._native import ArrowBatch
from ravik._receivers import udp_stream
from ravik._plan import OPERATORS, Filter, FilterLike, PlanOptions, plan
from ravik._types import (
    Columns,
    DiagnosticsDict,
    FilterDict,
    MeanDict,
    PlanDict,
    PlanOptionsDict,
    Scalar,
    StatsDict,
    TradeAggregateDict,
    WindowDict,
)

__version__: str = _version("ravik")

__all__ = [
    "OPERATORS",
    "ArrowBatch",
    "Columns",
    "DiagnosticsDict",
    "Filter",
    "FilterDict",
    "FilterLike",
    "MeanDict",
    "NativeStream",
    "PlanDict",
    "PlanOptions",
    "PlanOptionsDict",
    "Scalar",
    "StatsDict",
    "StreamCollector",
    "TradeAggregateDict",
    "WindowDict",
    "abatches",
    "arrow_batches",
    "batches",
    "diagnostics",
    "emit_arrow",
    "emit_lines",
    "join_multicast",
    "late_events",
    "plan",
    "pull",
    "rows",
    "serve_metrics",
    "udp_stream",
]
