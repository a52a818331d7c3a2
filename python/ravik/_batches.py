"""Pulling results out of a stream: as an iteration, asynchronously, as Arrow data."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Callable, Iterator
from typing import TypeVar

from _ravik import NativeStream
from ravik import _native
from ravik._native import ArrowBatch
from ravik._types import Columns, PlanDict, Scalar

_T = TypeVar("_T")


def _pulls(stream: NativeStream, pull: Callable[[], tuple[_T | None, int | None]], timeout_ms: int) -> Iterator[_T]:
    wake_in: int | None = None
    while True:
        # Read before the pull: a pull that started on a closed stream and
        # returned nothing took every batch and flushed every window.
        closed = stream.is_closed()
        if not closed:
            # An idle-closing plan says when a window may next close for
            # idleness: the wait ends then, even with nothing cut.
            _native.wait_ready(stream, timeout_ms if wake_in is None else min(timeout_ms, wake_in))
        batch, wake_in = pull()
        if batch is not None:
            yield batch
        elif closed:
            return


def _has_options(plan: PlanDict) -> bool:
    return plan.get("options") is not None


def _next_batch(stream: NativeStream, plan: PlanDict) -> Callable[[], tuple[Columns | None, int | None]]:
    """One step of a pull: ``next_batch(plan, 0)`` for the contract's plans;
    the package's native pull (same batches, plus the plan's options) for
    plans with options of :func:`ravik.plan`."""
    if _has_options(plan):
        return lambda: _native.pull(stream, plan, False, True, False)
    return lambda: (stream.next_batch(plan, 0), None)


def pull(stream: NativeStream, plan: PlanDict, *, flush: bool = True) -> Columns | None:
    """Process everything offered to ``stream`` so far and return the result.

    Cuts every queued event into a batch at once (without waiting for the
    worker's ``linger_ms`` or for ``batch_size`` events) and pulls all
    batches ready, as one result column dict, or None when nothing comes
    out. A program that feeds a stream from Python gets its results in the
    same call: ``emit_columns(...)`` or ``emit_arrow(...)`` then ``pull(...)``.
    Results, counters and state changes are those of ``next_batch`` over the
    same batches; the interpreter lock is released while they are
    processed. On a closed stream, once nothing else comes out, the open
    windows are flushed as ``next_batch`` flushes them; ``flush=False``
    keeps them open instead (to save them in a checkpoint).
    """
    return _native.pull(stream, plan, True, flush, False)[0]  # type: ignore[no-any-return]


def batches(stream: NativeStream, plan: PlanDict, *, timeout_ms: int = 100) -> Iterator[Columns]:
    """Yield each result column dict of ``stream`` under ``plan``.

    Each step waits, at most ``timeout_ms``, for a batch to be cut (or the
    stream to close) without holding the interpreter lock, so other threads
    and signal handlers run meanwhile, then pulls with
    ``next_batch(plan, 0)``: the results are exactly ``next_batch``'s. A plan
    with options of :func:`ravik.plan` (``align``, ``idle_close_ms``,
    ``late``, ``dedup_horizon_ms``) is pulled natively over the same batches
    instead, and with ``idle_close_ms`` a step also ends when a window may
    close for idleness. Steps
    that bring nothing are skipped. The iteration ends once the stream is
    closed and drained: after ``close()``, the batches cut before it and then
    the open windows (flushed by the stream itself) still come out, and the
    first empty pull after that ends it.
    """
    return _pulls(stream, _next_batch(stream, plan), timeout_ms)


def arrow_batches(stream: NativeStream, plan: PlanDict, *, timeout_ms: int = 100) -> Iterator[ArrowBatch]:
    """Like :func:`batches`, yielding each result as Arrow data.

    An :class:`ArrowBatch` holds one result as a struct array of its
    columns (int64, double, bool, or utf8 for text and for columns of nulls
    only, all nullable; the column dict's types and values) and exports it
    through the Arrow PyCapsule interface: ``pyarrow.table(b)``,
    ``pyarrow.record_batch(b)``, ``polars.DataFrame(b)`` and DuckDB take it,
    numeric columns without a copy. It can be exported any number of times.
    """
    return _pulls(stream, lambda: _native.pull(stream, plan, False, True, True), timeout_ms)


async def abatches(stream: NativeStream, plan: PlanDict) -> AsyncIterator[Columns]:
    """``async for batch in abatches(stream, plan)``: :func:`batches` for asyncio.

    Waits on a descriptor that the stream makes readable at every batch cut
    and at close, watched by the running event loop (no thread, no polling);
    each pull is ``next_batch(plan, 0)``. Ends like :func:`batches`, once the
    stream is closed and drained. Needs a loop with ``add_reader`` (the
    default loop on Linux, uvloop).
    """
    loop = asyncio.get_running_loop()
    waker = _native.Waker(stream)
    fd = waker.fileno()
    step = _next_batch(stream, plan)
    try:
        while True:
            # Registered before this first check: any cut from here on
            # leaves the descriptor readable, so no wake-up is missed.
            closed = stream.is_closed()
            batch, wake_in = step()
            if batch is not None:
                yield batch
                continue
            if closed:
                return
            woken: asyncio.Future[None] = loop.create_future()
            loop.add_reader(fd, _set_result, woken)
            # An idle-closing plan's next possible close wakes it too.
            timer = None if wake_in is None else loop.call_later(wake_in / 1000, _set_result, woken)
            try:
                await woken
            finally:
                loop.remove_reader(fd)
                if timer is not None:
                    timer.cancel()
            waker.clear()
    finally:
        waker.close()


def _set_result(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def late_events(stream: NativeStream, *, arrow: bool = False) -> Columns | ArrowBatch | None:
    """The late events that pulls under a plan with ``late="side"`` kept aside
    since the last call, in arrival order, with every field (a column dict,
    or Arrow data with ``arrow=True``); None when there are none.

    They are counted in ``stats()["late_events"]`` as any late event. At most
    the stream's ``capacity`` wait here; more are dropped and counted in
    ``diagnostics(stream)["late_side_dropped"]``.
    """
    return _native.late_events(stream, arrow)  # type: ignore[no-any-return]


def rows(columns: Columns) -> Iterator[dict[str, Scalar]]:
    """Yield the rows of a column dict as one dict per row, in order."""
    names = list(columns)
    for values in zip(*(columns[name] for name in names), strict=True):
        yield dict(zip(names, values, strict=True))
