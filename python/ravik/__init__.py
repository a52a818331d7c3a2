"""ravik: windowed aggregation of event streams, from UDP or from Python.

The native work is done by :class:`NativeStream` (the extension module
``_ravik``, re-exported here unchanged). This package adds conveniences:
:func:`plan` builds the plan dict, :func:`batches` iterates over results,
:func:`diagnostics` reports what a stream dropped beyond its ``stats()``,
:class:`Filter` parses ``'field op value'`` filters, and the TypedDicts
describe the dicts that cross the boundary. ``python -m ravik`` is a
command-line listener and test sender.
"""

from importlib.metadata import version as _version

from _ravik import NativeStream
from ravik._batches import batches, rows
from ravik._diagnostics import diagnostics
from ravik._plan import OPERATORS, Filter, FilterLike, PlanOptions, plan
from ravik._types import (
    Columns,
    DiagnosticsDict,
    FilterDict,
    MeanDict,
    PlanDict,
    Scalar,
    StatsDict,
    TradeAggregateDict,
    WindowDict,
)

__version__: str = _version("ravik")

__all__ = [
    "OPERATORS",
    "Columns",
    "DiagnosticsDict",
    "Filter",
    "FilterDict",
    "FilterLike",
    "MeanDict",
    "NativeStream",
    "PlanDict",
    "PlanOptions",
    "Scalar",
    "StatsDict",
    "TradeAggregateDict",
    "WindowDict",
    "batches",
    "diagnostics",
    "plan",
    "rows",
]
