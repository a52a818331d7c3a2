"""Shapes of the dicts that cross the boundary of the native module.

These are plain ``TypedDict`` declarations: at run time every value is an
ordinary ``dict``, so a plan built by :func:`ravik.plan` or written by hand
can be handed straight to ``NativeStream.next_batch``.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any, NotRequired, TypeAlias, TypedDict

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


class PlanOptionsDict(TypedDict):
    """Options of :func:`ravik.plan` beyond the eight keys (``None`` where unused).
    A plan that carries them is taken by the package's pulls, the listener
    and the Kafka member; ``next_batch`` and ``aggregate_columns`` refuse it."""

    #: Windows start at this origin plus whole window lengths (0: the Unix epoch).
    align_origin_ms: int | None
    #: Wall-clock ms without an arriving event after which the newest event
    #: time advances with the wall clock.
    idle_close_ms: int | None
    #: ``"side"``: late events are kept for :func:`ravik.late_events`.
    late: str | None
    #: Event ids are forgotten once the newest event time is past them by more than this.
    dedup_horizon_ms: int | None
    #: The window length in ms (instead of the window's seconds).
    window_ms: NotRequired[int]
    #: Hopping windows: a window starts every hop_ms; the length is a multiple of it.
    hop_ms: NotRequired[int]
    #: Session windows: a group's session closes after this many ms without an event.
    session_gap_ms: NotRequired[int]
    #: Aggregates per window: [output name, function, field, argument or None].
    aggregates: NotRequired[list[list[Any]]]


class PlanDict(TypedDict):
    """The eight keys every plan must carry (``None`` where unused), and the
    options of :func:`ravik.plan` when it was given any."""

    filters: Sequence[FilterDict]
    select: Sequence[str] | None
    window: WindowDict | None
    mean: MeanDict | None
    watermark_ms: int | None
    allowed_lateness_ms: int | None
    event_id_field: str | None
    #: ``None`` means the default, ``True``.
    drop_late: bool | None
    options: NotRequired[PlanOptionsDict]


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
    #: Events a periodic cut dropped because the stream's backlog of cut but
    #: unpulled events was full (streams of the package bound it).
    pending_dropped: int
    #: Late events beyond the ``capacity`` kept for :func:`ravik.late_events`.
    late_side_dropped: int
    #: The newest event time the stream has seen (ms; None before any event).
    newest_event_time: int | None
    #: The last pull's watermark: the newest event time (advanced for
    #: idleness) minus the plan's ``watermark_ms`` (None before a pull).
    watermark: int | None
    #: The wall clock minus the watermark, in ms (None with no watermark).
    lag_ms: int | None
    #: The last few malformed datagrams, oldest first: their first 256 bytes
    #: and why they were refused.
    recent_malformed: list[tuple[bytes, str]]
