"""Results as Arrow data: the same columns, types and values as the column dicts, taken by real consumers."""

import gc
import random
import re

import pytest

import _ravik
import ravik
from plans import make_plan

pa = pytest.importorskip("pyarrow", reason="pyarrow is a test dependency (scripts/bootstrap.sh)")


def random_lines(rng, n):
    """Datagram lines whose fields change type from event to event, go
    missing, hold null, and hold text that is not UTF-8."""
    groups = ["x", "y", "zé", "w"]
    lines = []
    for i in range(n):
        fields = [f'"timestamp":{1_000_000 + rng.randrange(0, 20_000)}', f'"id":{rng.randrange(n)}']
        kind = rng.randrange(6)
        if kind == 0:
            fields.append(f'"v":{rng.randrange(-5, 50)}')
        elif kind == 1:
            fields.append(f'"v":{rng.uniform(-1e3, 1e3)!r}')
        elif kind == 2:
            fields.append(f'"v":"{rng.choice(["a", "7", "é", ""])}"')
        elif kind == 3:
            fields.append(f'"v":{rng.choice(["true", "false", "null"])}')
        if rng.random() < 0.8:
            fields.append(f'"g":"{rng.choice(groups)}"')
        if rng.random() < 0.3:
            fields.append(f'"f":{rng.choice(["true", "false"])}')
        if rng.random() < 0.2:
            fields.append('"b":"bad\xff\xfe text"')  # not UTF-8 once encoded below
        if rng.random() < 0.5:
            fields.append(f'"n":{rng.randrange(100)}')
        rng.shuffle(fields)
        lines.append("{" + ",".join(fields) + "}")
    return "\n".join(lines).encode("latin-1")


PLANS = {
    "pass-through": make_plan(drop_late=False),
    "select": make_plan(select=["v", "g", "missing", "b"], drop_late=False),
    "filtered": make_plan(filters=[{"field": "n", "op": ">", "value": 50}], drop_late=False),
    "windows": make_plan(window={"seconds": 2, "by": "g", "time_field": "timestamp"},
                         mean={"field": "v", "alias": "mean_v"}, watermark_ms=3000,
                         event_id_field="id"),
    "windows-select": make_plan(window={"seconds": 5, "by": None, "time_field": "timestamp"},
                                mean={"field": "n", "alias": "m"}, select=["m", "count", "window_start"]),
}


def pull_all(stream, pull):
    stream.close()
    return list(pull(stream))


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("name", PLANS)
def test_arrow_batches_equal_the_column_dicts(name, seed):
    plan = PLANS[name]
    data = random_lines(random.Random(seed), 400)
    as_dicts = _ravik.NativeStream.manual(100_000, 1, 100_000)
    as_arrow = _ravik.NativeStream.manual(100_000, 1, 100_000)
    for stream in (as_dicts, as_arrow):
        ravik.emit_lines(stream, data)
    dicts = pull_all(as_dicts, lambda s: ravik.batches(s, plan))
    arrows = pull_all(as_arrow, lambda s: ravik.arrow_batches(s, plan))
    assert [pa.table(b).to_pydict() for b in arrows] == dicts
    assert [b.num_rows for b in arrows] == [len(next(iter(d.values()))) for d in dicts]
    assert as_arrow.stats() == as_dicts.stats()


def one_batch(stream, events, plan=None):
    stream.emit_columns(events)
    stream.close()
    (batch,) = ravik.arrow_batches(stream, plan or make_plan())
    return batch


EVENTS = {"k": [3, 1, 2], "x": [0.5, None, 2.0], "s": ["a", None, "c"], "ok": [True, False, None],
          "timestamp": [10, 20, 30]}


def test_types_nulls_and_repeated_exports_share_the_buffers(manual):
    batch = one_batch(manual(), EVENTS)
    first, second = pa.record_batch(batch), pa.record_batch(batch)
    assert first.schema == pa.schema([("k", pa.int64()), ("ok", pa.bool_()), ("s", pa.string()),
                                      ("timestamp", pa.int64()), ("x", pa.float64())])
    assert first.to_pydict() == {**EVENTS}
    # Numeric values are lent, not copied: both exports read the same memory.
    assert first.column("k").buffers()[1].address == second.column("k").buffers()[1].address
    del batch
    gc.collect()
    assert first.column("x").to_pylist() == [0.5, None, 2.0]  # the buffers outlive the batch object


def test_polars_duckdb_and_pandas_take_a_batch(manual):
    pl = pytest.importorskip("polars")
    duckdb = pytest.importorskip("duckdb")
    batch = one_batch(manual(), EVENTS)
    frame = pl.DataFrame(batch)
    assert frame.schema == {"k": pl.Int64, "ok": pl.Boolean, "s": pl.String, "timestamp": pl.Int64, "x": pl.Float64}
    assert frame["k"].sum() == 6
    arrow_table = pa.table(batch)
    assert duckdb.sql("select sum(k), count(s) from arrow_table").fetchall() == [(6, 2)]
    # DuckDB also scans the batch itself, through its Arrow stream.
    assert duckdb.sql("select max(x) from batch").fetchall() == [(2.0,)]
    frame = arrow_table.to_pandas()
    assert frame["k"].tolist() == [3, 1, 2] and frame["s"].isna().tolist() == [False, True, False]


def test_an_arrow_stream_ends_after_its_one_batch(manual):
    batch = one_batch(manual(), EVENTS, make_plan(select=["k"]))
    reader = pa.RecordBatchReader.from_stream(batch)
    assert [b.num_rows for b in reader] == [3]
    assert len(batch) == 3 and batch.column_names == ["k"]


def arrow_name_bytes(name):
    """The field name's bytes back from its Arrow name (the documented escape)."""
    if "\\x" not in name:
        return name.encode()
    return re.sub(rb"\\x([0-9a-f]{2})", lambda m: bytes([int(m[1], 16)]), name.encode())


@pytest.mark.parametrize("seed", range(3))
def test_arrow_names_stay_distinct_and_give_back_the_column_names(seed):
    """Hostile names (NUL, bytes that are not UTF-8, backslashes, the escape's
    own text) as datagram lines: every Arrow batch has distinct UTF-8 names,
    Polars takes it, and each name decodes to the column dict's name."""
    rng = random.Random(seed)
    pieces = [b"a", b"\x00", b"\xff", b"\xfe", b"\xc3\xa9", b"\\\\", b"\\\\x", b"x41", b"\\\\xff", b"\xed\xa0\x80"]
    names = {b"".join(rng.choice(pieces) for _ in range(rng.randrange(1, 4))) for _ in range(30)} - {b"timestamp"}
    line = b"{" + b",".join(b'"%s":%d' % (n, i) for i, n in enumerate(sorted(names))) + b',"timestamp":1}'
    pl = pytest.importorskip("polars")
    arrow, dicts = (_ravik.NativeStream.manual(64, 0, 64) for _ in range(2))
    for s in (arrow, dicts):
        ravik.emit_lines(s, line + b"\n")
    [batch] = pull_all(arrow, lambda s: ravik.arrow_batches(s, make_plan(drop_late=False)))
    [columns] = pull_all(dicts, lambda s: ravik.batches(s, make_plan(drop_late=False)))
    arrow_names = batch.column_names
    assert len(set(arrow_names)) == len(arrow_names) == len(columns)
    assert [arrow_name_bytes(n) for n in arrow_names] == [n.encode("utf-8", "surrogateescape") for n in columns]
    assert pl.DataFrame(batch).columns == arrow_names
    plain = [n for n in columns if n == arrow_names[list(columns).index(n)]]
    assert "timestamp" in plain  # well-formed names without NUL or "\x" are the same in both
