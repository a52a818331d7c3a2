"""Events from Arrow data: :func:`emit_arrow`."""

from __future__ import annotations

from typing import Any

from _ravik import NativeStream
from ravik import _native


def emit_arrow(stream: NativeStream, data: Any) -> None:
    """Offer the rows of Arrow data to the stream as events, one batch per
    record batch, exactly as ``stream.emit_columns`` offers a column dict.

    ``data`` is anything with ``__arrow_c_stream__`` or ``__arrow_c_array__``
    (the Arrow PyCapsule interface): a pyarrow Table or RecordBatch, a Polars
    DataFrame, a DuckDB result, a nanoarrow array. Integer, floating-point,
    boolean, text (``utf8``, ``large_utf8``, ``string_view``) and
    dictionary-encoded text columns are read natively, without Python
    objects; nulls become what ``None`` becomes. Columns of other types
    (timestamps, decimals, lists, ...) are converted through their Python
    values (``to_pylist``), which needs pyarrow, and then convert as
    ``emit_columns`` converts those values. Events without a "timestamp"
    column get their arrival time, as with ``emit_columns``.

    Raises TypeError for an object that is not Arrow data, ValueError for
    malformed data, OverflowError for an unsigned value beyond a 64-bit
    signed integer.
    """
    try:
        _native.emit_arrow(stream, data)
    except _native.ArrowTypeUnsupported as unsupported:
        try:
            import pyarrow as pa  # type: ignore[import-untyped]
        except ImportError:
            raise TypeError(f"{unsupported}; reading it needs pyarrow (pip install pyarrow)") from None
        table = pa.table(data)
        for batch in table.to_batches():
            if batch.num_rows:
                stream.emit_columns(batch.to_pydict())
