"""Recorded events as lines of JSON: native bulk ingestion and a UDP replayer."""

from __future__ import annotations

import errno
import socket
import time
from collections.abc import Buffer, Callable, Iterable
from dataclasses import dataclass
from typing import BinaryIO, Protocol

from _ravik import NativeStream
from ravik import _native

# Bytes read from a file (and lines joined from an iterable) per native call.
_CHUNK_BYTES = 1 << 20
# The largest payload of one IPv4 UDP datagram.
MAX_DATAGRAM_BYTES = 65_507


class _Readable(Protocol):
    def read(self, size: int = ..., /) -> bytes: ...


def emit_lines(stream: NativeStream, lines: Buffer | _Readable | Iterable[bytes | str]) -> None:
    """Queue the events of newline-separated flat JSON objects, parsed natively.

    ``lines`` is a bytes-like object holding lines, a binary file (read in
    chunks of 1 MiB), or an iterable of lines (bytes or str, each one line,
    with or without its newline). Every line is taken exactly as a datagram
    of the same bytes would be: the same parser, the same queue and drop rule,
    the same counters; a line that is not an acceptable object is counted in
    ``ravik.diagnostics(stream)["malformed_datagrams"]``. Blank lines are
    skipped, and a ``\\r`` before the newline is ignored. Parsing runs
    without the interpreter lock.

    Like every producer, this offers events to the stream's bounded queue:
    what finds the queue full is dropped and counted in ``stats()["dropped"]``.
    Give the stream a capacity for the whole input, or pull while feeding it.
    """
    if isinstance(lines, Buffer):
        _native.emit_lines(stream, lines, True)
        return
    read = getattr(lines, "read", None)
    if callable(read):
        _emit_file(stream, read)
        return
    if isinstance(lines, (str, int)):
        raise TypeError(f"lines must be bytes, a binary file or an iterable of lines, not {type(lines).__name__}")
    block = bytearray()
    for line in lines:  # type: ignore[union-attr]
        block += line.encode() if isinstance(line, str) else line
        block += b"\n"
        if len(block) >= _CHUNK_BYTES:
            _native.emit_lines(stream, block, True)
            block.clear()
    if block:
        _native.emit_lines(stream, block, True)


def _emit_file(stream: NativeStream, read: Callable[[int], object]) -> None:
    pending = bytearray()  # the start of a line that a later chunk ends
    while chunk := read(_CHUNK_BYTES):
        if not isinstance(chunk, (bytes, bytearray)):
            raise TypeError("the file must be opened in binary mode ('rb')")
        pending += chunk
        # A chunk without a newline ends no line: the line is parsed once, at
        # its end, rather than rescanned from its start at every chunk.
        if b"\n" not in chunk:
            continue
        used = _native.emit_lines(stream, pending, False)
        del pending[:used]
    if pending:
        _native.emit_lines(stream, pending, True)


@dataclass
class ReplaySummary:
    datagrams: int = 0
    skipped: int = 0  # blank lines and lines too long for one datagram
    seconds: float = 0.0
    lines: int = 0  # lines read and handled (sent or skipped)


def replay(
    source: BinaryIO,
    host: str,
    port: int,
    rate: float | None,
    stop_requested: Callable[[], bool] = lambda: False,
    on_too_long: Callable[[int], None] = lambda line_number: None,
    interface: str | None = None,
) -> ReplaySummary:
    """Send each non-blank line of ``source`` as one UDP datagram.

    ``rate`` is datagrams per second (None: as fast as possible). A line of
    more than 65,507 bytes cannot travel in one datagram: it is skipped and
    reported through ``on_too_long`` with its line number. ``interface`` is
    the address of the interface multicast datagrams leave by.
    """
    summary = ReplaySummary()
    started = time.perf_counter()
    target = (host, port)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        if interface is not None:
            sock.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton(interface))
        for number, raw in enumerate(source, start=1):
            if stop_requested():
                break
            summary.lines = number
            line = raw.rstrip(b"\r\n")
            if not line.strip():
                summary.skipped += 1
                continue
            if len(line) > MAX_DATAGRAM_BYTES:
                summary.skipped += 1
                on_too_long(number)
                continue
            if rate is not None:
                delay = started + summary.datagrams / rate - time.perf_counter()
                # Sleeping for less than a millisecond overshoots by more than
                # it waits; sending a little early keeps the average rate.
                if delay > 0.001:
                    time.sleep(delay)
            _send(sock, line, target)
            summary.datagrams += 1
    summary.seconds = time.perf_counter() - started
    return summary


def _send(sock: socket.socket, payload: bytes, target: tuple[str, int]) -> None:
    # Sending as fast as possible can find the system's buffers full
    # (ENOBUFS): wait a moment and send again, rather than lose the line.
    for attempt in range(100):
        try:
            sock.sendto(payload, target)
            return
        except OSError as error:
            if error.errno != errno.ENOBUFS:
                raise
            time.sleep(0.001 * (attempt + 1))
    sock.sendto(payload, target)
