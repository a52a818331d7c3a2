"""Counters for everything a stream drops or repairs beyond ``stats()``."""

from __future__ import annotations

from typing import cast

from _ravik import NativeStream
from ravik import _native
from ravik._types import DiagnosticsDict


def diagnostics(stream: NativeStream) -> DiagnosticsDict:
    """What ``stream`` dropped or repaired that ``stream.stats()`` does not count.

    ``stats()`` counts events offered to the queue and what processing did
    with them; these counters cover the rest: datagrams that were not a flat
    JSON object (with the last few of them and the reason), datagrams lost in
    the kernel because the stream fell behind, events timed by the wall clock
    because their time field held no integer, windowed events without a
    usable mean value, events dropped for a time too far in the future, and
    escaped surrogates without their partner (decoded as U+FFFD).
    All only rise; each call returns a new dict.
    """
    if not isinstance(stream, NativeStream):
        raise TypeError(f"diagnostics() needs a NativeStream, not {type(stream).__name__}")
    return cast(DiagnosticsDict, _native.diagnostics(stream))
