"""Writers that print result rows as a table, JSON lines or CSV."""

from __future__ import annotations

import csv
import json
import math
from collections.abc import Collection, Mapping, Sequence
from datetime import UTC, datetime
from typing import Protocol, TextIO

from ravik._types import Columns, Scalar

FORMATS = ("table", "jsonl", "csv")

# Integers from here on are taken for milliseconds since the Unix epoch when
# they sit in a time column (the same threshold the stream uses to align
# windows to the first event instead of to zero).
_EPOCH_SCALE_MS = 1_000_000_000_000


class RowWriter(Protocol):
    def write(self, columns: Columns) -> None: ...


def column_order(columns: Columns, preferred: Sequence[str]) -> list[str]:
    """The preferred names that are present, then the others in dict order."""
    first = [name for name in preferred if name in columns]
    return first + [name for name in columns if name not in first]


class JsonlWriter:
    """One JSON object per row. Non-finite floats (NaN, inf) become null."""

    def __init__(self, out: TextIO, preferred: Sequence[str]) -> None:
        self._out = out
        self._preferred = preferred

    def write(self, columns: Columns) -> None:
        names = column_order(columns, self._preferred)
        lines = []
        for i in range(_length(columns)):
            row = {name: _json_value(columns[name][i]) for name in names}
            lines.append(json.dumps(row, allow_nan=False, ensure_ascii=False) + "\n")
        self._out.write("".join(lines))


class CsvWriter:
    """CSV with a header line; a new header line whenever the columns change."""

    def __init__(self, out: TextIO, preferred: Sequence[str]) -> None:
        self._writer = csv.writer(out, lineterminator="\n")
        self._preferred = preferred
        self._names: list[str] | None = None

    def write(self, columns: Columns) -> None:
        names = column_order(columns, self._preferred)
        if names != self._names:
            self._writer.writerow(names)
            self._names = names
        for i in range(_length(columns)):
            self._writer.writerow([_csv_value(columns[name][i]) for name in names])


class TableWriter:
    """Aligned columns for people to read; epoch times shown as UTC."""

    def __init__(self, out: TextIO, preferred: Sequence[str], time_columns: Collection[str]) -> None:
        self._out = out
        self._preferred = preferred
        self._time_columns = time_columns
        self._names: list[str] | None = None
        self._widths: dict[str, int] = {}

    def write(self, columns: Columns) -> None:
        names = column_order(columns, self._preferred)
        n = _length(columns)
        cells = {name: [self._cell(name, columns[name][i]) for i in range(n)] for name in names}
        lines = []
        if names != self._names:
            self._widths = {name: max([len(name), *map(len, cells[name])]) for name in names}
            self._names = names
            lines.append("  ".join(name.ljust(self._widths[name]) for name in names).rstrip())
            lines.append("  ".join("-" * self._widths[name] for name in names))
        numeric = {name: _is_numeric_column(columns[name]) for name in names}
        for i in range(n):
            parts = []
            for name in names:
                text = cells[name][i]
                self._widths[name] = width = max(self._widths[name], len(text))
                parts.append(text.rjust(width) if numeric[name] else text.ljust(width))
            lines.append("  ".join(parts).rstrip())
        self._out.write("\n".join(lines) + "\n")

    def _cell(self, name: str, value: Scalar) -> str:
        if value is None:
            return ""
        if isinstance(value, bool):
            return "true" if value else "false"
        if isinstance(value, int):
            if name in self._time_columns and value >= _EPOCH_SCALE_MS:
                return format_epoch_ms(value)
            return str(value)
        if isinstance(value, float):
            return f"{value:.6g}"
        return value


def format_epoch_ms(ms: int) -> str:
    """Milliseconds since the epoch as ``YYYY-MM-DD HH:MM:SS.mmm`` (UTC)."""
    try:
        moment = datetime.fromtimestamp(ms // 1000, UTC)
    except (OverflowError, OSError, ValueError):
        return str(ms)
    return f"{moment:%Y-%m-%d %H:%M:%S}.{ms % 1000:03d}"


def make_writer(fmt: str, out: TextIO, preferred: Sequence[str], time_columns: Collection[str]) -> RowWriter:
    if fmt == "jsonl":
        return JsonlWriter(out, preferred)
    if fmt == "csv":
        return CsvWriter(out, preferred)
    if fmt == "table":
        return TableWriter(out, preferred, time_columns)
    raise ValueError(f"unknown output format {fmt!r}")


def _length(columns: Columns) -> int:
    return len(next(iter(columns.values()), []))


def _is_numeric_column(values: list[Scalar]) -> bool:
    return all(v is None or (isinstance(v, (int, float)) and not isinstance(v, bool)) for v in values)


def json_row(row: Mapping[str, Scalar]) -> dict[str, Scalar]:
    """A row as json.dumps may write it strictly: NaN and infinities become None."""
    return {name: _json_value(value) for name, value in row.items()}


def _json_value(value: Scalar) -> Scalar:
    if isinstance(value, float) and not math.isfinite(value):
        return None
    return value


def _csv_value(value: Scalar) -> str:
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, float):
        return repr(value)
    return str(value)
