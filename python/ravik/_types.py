"""Shapes of the dicts that cross the boundary of the native module.

These are plain ``TypedDict`` declarations: at run time every value is an
ordinary ``dict``, so a plan built by :func:`ravik.plan` or written by hand
can be handed straight to ``NativeStream.next_batch``.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, TypeAlias, TypedDict

#: A value an event field can hold once it is inside a stream. Python values
#: of other types are stored as their ``str()`` text.
Scalar: TypeAlias = None | bool | int | float | str

#: A column dict: field name to one list per field, all of equal length.
#: Results always hold lists of ``None``, ``bool``, ``int``, ``float`` or
#: ``str`` (one value type per column, ``None`` for missing values).
Columns: TypeAlias = dict[str, list[Any]]


class FilterDict(TypedDict):
    """One filter of a plan: keep events whose ``field`` compares true."""

    field: str
    #: One of ``==``, ``!=``, ``>``, ``>=``, ``<``, ``<=``. Any other text is
    #: accepted by the stream but makes every comparison false.
    op: str
    value: Scalar


class WindowDict(TypedDict):
    """Tumbling windows of ``seconds`` seconds, optionally grouped ``by`` a field."""

    seconds: int
    by: str | None
    time_field: str


class MeanDict(TypedDict):
    """The field each window averages and the output column that holds it."""

    field: str
    alias: str


class PlanDict(TypedDict):
    """The eight keys every plan must carry (``None`` where unused)."""

    filters: Sequence[FilterDict]
    select: Sequence[str] | None
    window: WindowDict | None
    mean: MeanDict | None
    watermark_ms: int | None
    allowed_lateness_ms: int | None
    event_id_field: str | None
    #: ``None`` means the default, ``True``.
    drop_late: bool | None


class StatsDict(TypedDict):
    """The counters of ``NativeStream.stats()`` (keys in this byte order)."""

    checkpoint_loads: int
    checkpoint_saves: int
    dropped: int
    duplicate_events: int
    ingested: int
    late_events: int
    microbatches_emitted: int
    open_windows: int
    output_batches: int
    output_rows: int
    seen_event_ids: int


class TradeAggregateDict(TypedDict):
    """Result of ``NativeStream.aggregate_trade_numeric``: one entry per group."""

    window_start: list[int]
    window_end: list[int]
    symbol_id: list[int]
    avg_value: list[float]
    count: list[int]


class DiagnosticsDict(TypedDict):
    """What :func:`ravik.diagnostics` reports: events dropped or repaired that
    ``stats()`` does not count."""

    #: Datagrams that were not a flat JSON object (empty ones included).
    malformed_datagrams: int
    #: Datagrams the kernel dropped before the stream could receive them
    #: (its receive buffer was full: the stream fell behind the senders).
    kernel_dropped: int
    #: Events timed by the wall clock because their time field was missing
    #: or held something other than an integer.
    non_integer_times: int
    #: Windowed events dropped because the mean field was missing or not a number.
    events_without_mean: int
    #: Events dropped because their time lay too far ahead of the wall clock
    #: (only when a limit is set, as the listener does).
    future_events: int
    #: ``\\uXXXX`` escapes of a UTF-16 surrogate without its partner in
    #: datagram text, decoded as U+FFFD.
    lone_surrogates: int
    #: The last few malformed datagrams, oldest first: their first 256 bytes
    #: and why they were refused.
    recent_malformed: list[tuple[bytes, str]]
