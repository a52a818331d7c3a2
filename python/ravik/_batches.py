"""Pulling results out of a stream as a plain Python iteration."""

from __future__ import annotations

from collections.abc import Iterator

from _ravik import NativeStream
from ravik._types import Columns, PlanDict, Scalar


def batches(stream: NativeStream, plan: PlanDict, *, timeout_ms: int = 100) -> Iterator[Columns]:
    """Yield each result column dict of ``stream`` under ``plan``.

    Each step is one ``next_batch(plan, timeout_ms)`` call; calls that return
    nothing are skipped. The iteration ends once the stream is closed and
    drained: after ``close()``, the batches cut before it and then the open
    windows (flushed by the stream itself) still come out, and the first
    empty call after that ends it.

    ``next_batch`` keeps the interpreter lock while it waits, so another
    Python thread runs only between two calls: a short ``timeout_ms`` (the
    default 100) keeps such threads and Ctrl-C responsive.
    """
    while True:
        # Read before the call: a call that started on a closed stream and
        # returned nothing took every batch and flushed every window.
        closed = stream.is_closed()
        batch = stream.next_batch(plan, timeout_ms)
        if batch is not None:
            yield batch
        elif closed:
            return


def rows(columns: Columns) -> Iterator[dict[str, Scalar]]:
    """Yield the rows of a column dict as one dict per row, in order."""
    names = list(columns)
    for values in zip(*(columns[name] for name in names), strict=True):
        yield dict(zip(names, values, strict=True))
