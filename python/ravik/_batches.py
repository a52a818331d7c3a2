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


def _pulls(stream: NativeStream, pull: Callable[[], _T | None], timeout_ms: int) -> Iterator[_T]:
    while True:
        # Read before the pull: a pull that started on a closed stream and
        # returned nothing took every batch and flushed every window.
        closed = stream.is_closed()
        if not closed:
            _native.wait_ready(stream, timeout_ms)
        batch = pull()
        if batch is not None:
            yield batch
        elif closed:
            return


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
    return _native.pull_now(stream, plan, flush)


def batches(stream: NativeStream, plan: PlanDict, *, timeout_ms: int = 100) -> Iterator[Columns]:
    """Yield each result column dict of ``stream`` under ``plan``.

    Each step waits, at most ``timeout_ms``, for a batch to be cut (or the
    stream to close) without holding the interpreter lock, so other threads
    and signal handlers run meanwhile, then pulls with
    ``next_batch(plan, 0)``: the results are exactly ``next_batch``'s. Steps
    that bring nothing are skipped. The iteration ends once the stream is
    closed and drained: after ``close()``, the batches cut before it and then
    the open windows (flushed by the stream itself) still come out, and the
    first empty pull after that ends it.
    """
    return _pulls(stream, lambda: stream.next_batch(plan, 0), timeout_ms)


def arrow_batches(stream: NativeStream, plan: PlanDict, *, timeout_ms: int = 100) -> Iterator[ArrowBatch]:
    """Like :func:`batches`, yielding each result as Arrow data.

    An :class:`ArrowBatch` holds one result as a struct array of its
    columns (int64, double, bool, or utf8 for text and for columns of nulls
    only, all nullable; the column dict's types and values) and exports it
    through the Arrow PyCapsule interface: ``pyarrow.table(b)``,
    ``pyarrow.record_batch(b)``, ``polars.DataFrame(b)`` and DuckDB take it,
    numeric columns without a copy. It can be exported any number of times.
    """
    return _pulls(stream, lambda: _native.next_arrow(stream, plan), timeout_ms)


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
    try:
        while True:
            # Registered before this first check: any cut from here on
            # leaves the descriptor readable, so no wake-up is missed.
            closed = stream.is_closed()
            batch = stream.next_batch(plan, 0)
            if batch is not None:
                yield batch
                continue
            if closed:
                return
            woken: asyncio.Future[None] = loop.create_future()
            loop.add_reader(fd, _set_result, woken)
            try:
                await woken
            finally:
                loop.remove_reader(fd)
            waker.clear()
    finally:
        waker.close()


def _set_result(future: asyncio.Future[None]) -> None:
    if not future.done():
        future.set_result(None)


def rows(columns: Columns) -> Iterator[dict[str, Scalar]]:
    """Yield the rows of a column dict as one dict per row, in order."""
    names = list(columns)
    for values in zip(*(columns[name] for name in names), strict=True):
        yield dict(zip(names, values, strict=True))
