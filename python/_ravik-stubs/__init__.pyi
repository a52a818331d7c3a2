# Type stubs for the native extension module _ravik.
#
# Installed as a stub-only package (PEP 561) so that type checkers find them
# for the single-file extension module. Parameters the module declares
# without a name are positional-only here (`/`). Integer parameters accept
# any object with __index__ (int, bool, NumPy integers) but never a float.
import os
from types import TracebackType
from typing import Any, Literal, Self, SupportsIndex

from numpy.typing import ArrayLike

from ravik._types import Columns, PlanDict, StatsDict, TradeAggregateDict

class NativeStream:
    # There is no constructor: streams come only from udp() and manual().
    @staticmethod
    def udp(
        host: str | bytes,
        port: SupportsIndex,
        batch_size: SupportsIndex,
        linger_ms: SupportsIndex,
        capacity: SupportsIndex,
    ) -> NativeStream: ...
    @staticmethod
    def manual(batch_size: SupportsIndex, linger_ms: SupportsIndex, capacity: SupportsIndex) -> NativeStream: ...
    def address(self) -> tuple[str, int]: ...
    def emit_json(self, event: dict[Any, Any], /) -> None: ...
    def emit_columns(self, columns: dict[Any, Any], /) -> None: ...
    def next_batch(self, plan: PlanDict, timeout_ms: SupportsIndex) -> Columns | None: ...
    def aggregate_columns(self, columns: dict[Any, Any], plan: PlanDict) -> Columns: ...
    def aggregate_trade_numeric(
        self,
        timestamps: ArrayLike,
        is_trade: ArrayLike,
        symbol_id: ArrayLike,
        values: ArrayLike,
        window_ms: SupportsIndex,
    ) -> TradeAggregateDict: ...
    def save_checkpoint(self, path: str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes], /) -> None: ...
    def load_checkpoint(self, path: str | bytes | bytearray | os.PathLike[str] | os.PathLike[bytes], /) -> None: ...
    def stats(self) -> StatsDict: ...
    def is_closed(self) -> bool: ...
    def close(self) -> None: ...
    # `with stream:` closes the stream when the block ends.
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
        /,
    ) -> Literal[False]: ...
