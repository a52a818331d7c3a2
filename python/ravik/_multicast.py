"""Receiving an IPv4 multicast group on a UDP stream."""

from __future__ import annotations

from _ravik import NativeStream
from ravik import _native


def join_multicast(stream: NativeStream, group: str, interface: str | None = None) -> None:
    """Join the multicast ``group`` (224.0.0.0/4) on ``stream``'s UDP socket.

    ``interface`` is the IPv4 address of the interface to receive on (None:
    the one the routing table picks for the group). Bind the stream to the
    group address itself (``NativeStream.udp(group, port, ...)``) so that it
    receives only that group's datagrams for the port; a stream bound to
    0.0.0.0 also receives them, together with everything else sent to the
    port. May be called once per group; the membership ends with the stream.

    Raises ValueError for an address that is not a multicast group (or an
    interface address that is not IPv4) and on a stream that is not a UDP
    stream, RuntimeError "multicast join failed: ..." when the system
    refuses (for example no interface can reach the group), and
    RuntimeError "stream is closed" on a closed stream.
    """
    _native.join_multicast(stream, group, interface or "")
