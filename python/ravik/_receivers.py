"""UDP streams whose reception and parsing run on several threads."""

from __future__ import annotations

from _ravik import NativeStream
from ravik import _native


def udp_stream(
    host: str,
    port: int,
    *,
    receivers: int = 1,
    batch_size: int = 4096,
    linger_ms: int = 10,
    capacity: int = 1_000_000,
    max_pending: int | None = None,
) -> NativeStream:
    """A UDP stream on ``host:port`` that receives on ``receivers`` sockets at once.

    With more than one receiver, that many sockets are bound to the same
    address with ``SO_REUSEPORT``; the kernel spreads the datagrams over them
    by a hash of each sender's address and port, and each socket has a
    thread of its own that receives and parses into the stream's one bounded
    queue. Everything after the queue is the ordinary stream's: one worker
    cuts the batches, one processing state, the same counters, so the
    results are those of one stream that received the same datagrams in the
    order they were queued. All datagrams of one sender socket land on one
    receiver (in their order); many senders spread over all.

    The result is a :class:`NativeStream` (every method, ``with``, every
    ``ravik`` function). ``receivers=1`` makes the stream of
    ``NativeStream.udp(host, port, batch_size, linger_ms, capacity)``. Port 0
    picks one free port for all the sockets. Raises RuntimeError "udp bind
    failed: " with the system's reason (``Address already in use``, say) when
    any socket cannot be bound (the others are closed first), ValueError for
    an invalid address or a count outside 1 to 256.

    The events held in batches that were cut but not yet pulled are bounded
    by ``max_pending`` (default: ``capacity``): a consumer that stops pulling
    cannot exhaust memory. What a cut drops beyond it is counted in
    ``diagnostics(stream)["pending_dropped"]``.
    """
    bound = capacity if max_pending is None else max_pending
    if isinstance(bound, bool) or not isinstance(bound, int) or bound < 1:
        raise ValueError(f"max_pending must be a positive int, not {bound!r}")
    stream = _native.udp_stream(host, port, receivers, batch_size, linger_ms, capacity)
    _native.set_max_pending(stream, bound)
    return stream
