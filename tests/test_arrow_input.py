"""Arrow data in (ravik.emit_arrow), results in the same call (ravik.pull),
and the windows and ids of a long-lived stream against a plain model."""

import random

import numpy as np
import pyarrow as pa
import pytest

import _ravik
import ravik

ORIGIN = 1_700_000_000_000


def pulled(feed, plan=None):
    stream = _ravik.NativeStream.manual(1 << 16, 10**9, 1 << 20)
    feed(stream)
    stream.close()
    return ravik.pull(stream, plan or ravik.plan()), stream.stats()


def random_table(rng, n):
    def nullable(values, typ):
        return pa.array([None if rng.random() < 0.2 else v for v in values], typ)

    ints = [rng.randrange(-(2**40), 2**40) for _ in range(n)]
    texts = [rng.choice(["a", "é", "", "sensor-1", "x" * 40]) for _ in range(n)]
    return pa.table({
        "timestamp": pa.array([ORIGIN + rng.randrange(10_000) for _ in range(n)], pa.int64()),
        "i64": nullable(ints, pa.int64()),
        "i8": pa.array([rng.randrange(-128, 128) for _ in range(n)], pa.int8()),
        "u32": nullable([rng.randrange(2**32) for _ in range(n)], pa.uint32()),
        "u64": pa.array([rng.randrange(2**63) for _ in range(n)], pa.uint64()),
        "f64": nullable([rng.random() * 100 for _ in range(n)], pa.float64()),
        "f32": pa.array([rng.random() for _ in range(n)], pa.float32()),
        "f16": pa.array(np.array([rng.random() for _ in range(n)], dtype=np.float16)),
        "b": nullable([rng.random() < 0.5 for _ in range(n)], pa.bool_()),
        "s": nullable(texts, pa.string()),
        "ls": pa.array(texts, pa.large_string()),
        "sv": pa.array(texts, pa.string_view()),
        "d": pa.array(texts).dictionary_encode(),
        "dn": nullable(texts, pa.string()).dictionary_encode(),
        "n": pa.nulls(n),
    })


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("shape", ["table", "batches", "slice", "record_batch", "polars", "duckdb"])
def test_emit_arrow_is_emit_columns_of_its_values(seed, shape):
    rng = random.Random(seed)
    table = random_table(rng, 200)
    if shape == "batches":
        table = pa.Table.from_batches(table.to_batches(max_chunksize=37))
    elif shape == "slice":
        table = table.slice(13, 150)
    data = table
    if shape == "record_batch":
        data = table.combine_chunks().to_batches()[0]
    elif shape == "polars":
        pl = pytest.importorskip("polars")
        table = table.drop_columns(["f16", "u64"])  # types Polars does not keep
        data = pl.from_arrow(table)
    elif shape == "duckdb":
        duckdb = pytest.importorskip("duckdb")
        table = table.drop_columns(["f16", "sv"])
        con = duckdb.connect()
        con.register("events", table)
        data = con.sql("SELECT * FROM events")
    plans = [ravik.plan(), ravik.plan(filters=["i8 > 0", "s == 'a'"], select=["s", "d", "f64", "missing"]),
             ravik.plan(window_seconds=1, by="d", mean="f64", event_id_field="i8")]
    for plan in plans:
        expected = pulled(lambda s: [s.emit_columns(b.to_pydict()) for b in table.to_batches() if b.num_rows], plan)
        got = pulled(lambda s: ravik.emit_arrow(s, data), plan)
        assert got == expected


def test_types_without_a_direct_reading_go_through_their_python_values():
    table = pa.table({"timestamp": [1, 2], "ts": pa.array([ORIGIN, None], pa.timestamp("ms")),
                      "dec": pa.array([1, 2], pa.decimal128(5, 2)), "l": [[1], [2, 3]]})
    expected = pulled(lambda s: s.emit_columns(table.to_pydict()))
    assert pulled(lambda s: ravik.emit_arrow(s, table)) == expected
    assert expected[0]["ts"][0].startswith("2023-11-14")


def test_emit_arrow_refusals_and_arrival_times():
    stream = _ravik.NativeStream.manual(1 << 10, 10**9, 1 << 10)
    with pytest.raises(TypeError, match="emit_arrow takes Arrow data"):
        ravik.emit_arrow(stream, {"x": [1]})
    with pytest.raises(ValueError, match="not a table"):
        ravik.emit_arrow(stream, pa.array([1, 2]))
    with pytest.raises(OverflowError, match="beyond a 64-bit signed integer"):
        ravik.emit_arrow(stream, pa.table({"u": pa.array([2**64 - 1], pa.uint64())}))
    ravik.emit_arrow(stream, pa.table({"x": pa.array([], pa.int64())}))  # nothing offered
    assert stream.stats()["ingested"] == 0
    ravik.emit_arrow(stream, pa.table({"x": [1, 2]}))
    out = ravik.pull(stream, ravik.plan())
    assert out["x"] == [1, 2] and all(abs(t - out["timestamp"][0]) < 60_000 for t in out["timestamp"])


def test_pull_takes_everything_offered_in_the_same_call():
    stream = _ravik.NativeStream.manual(10**6, 10**9, 1 << 20)  # the worker would wait ~forever
    plan = ravik.plan(window_seconds=1, mean="v")
    stream.emit_columns({"timestamp": [0, 500, 1000], "v": [1.0, 3.0, 5.0]})
    assert ravik.pull(stream, plan) == {"count": [2], "mean_v": [2.0], "window_end": [1000], "window_start": [0]}
    assert ravik.pull(stream, plan) is None
    stream.close()
    assert ravik.pull(stream, plan, flush=False) is None  # the open window stays for a checkpoint
    assert ravik.pull(stream, plan)["count"] == [1]


def model_windows(events, plan_seconds, lateness):
    """Plain windows by first-event alignment: (start, group) -> [sum, count], closing as a stream does."""
    width = plan_seconds * 1000
    origin, high, seen, open_, out = None, None, set(), {}, []
    for batch in events:
        for t, g, v, i in batch:
            if str(i) in seen:
                continue
            seen.add(str(i))
            high = t if high is None else max(high, t)
            if t + lateness < high:
                continue
            origin = t if origin is None else origin
            start = origin + (t - origin) // width * width
            w = open_.setdefault((start, g), [0.0, 0])
            w[0] += v
            w[1] += 1
        closing = sorted((k for k in open_ if k[0] + width <= high - lateness), key=lambda k: f"{k[0]}|{k[1]}")
        out.append([(k[0], k[1], open_[k][1]) for k in closing])
        for k in closing:
            del open_[k]
    return out


@pytest.mark.parametrize("seed", range(3))
def test_many_groups_shuffled_crafted_ids_and_checkpoints_against_a_model(tmp_path, seed):
    rng = random.Random(seed)
    inverse = pow(0x9E3779B97F4A7C15, -1, 1 << 64)
    crafted = [((j << 24) * inverse) % (1 << 64) - (1 << 63) for j in range(1, 3000)]  # share a multiplicative slot
    plan = ravik.plan(window_seconds=2, by="g", mean="v", event_id_field="id", allowed_lateness_ms=3000)
    stream = _ravik.NativeStream.manual(1 << 16, 10**9, 1 << 20)
    batches, t = [], ORIGIN
    for b in range(12):
        batch = []
        for _ in range(rng.randrange(50, 400)):
            t += rng.randrange(0, 40)
            ident = rng.choice(crafted) if rng.random() < 0.7 else f"text-{rng.randrange(5000)}"
            batch.append((t - rng.randrange(0, 4000), f"g{rng.randrange(700)}", float(rng.randrange(100)), ident))
        batches.append(batch)
    expected = model_windows(batches, 2, 3000)
    for b, batch in enumerate(batches):
        if b % 4 == 3:  # into a fresh stream through a checkpoint
            path = tmp_path / f"state-{b}.txt"
            stream.save_checkpoint(str(path))
            stream = _ravik.NativeStream.manual(1 << 16, 10**9, 1 << 20)
            stream.load_checkpoint(str(path))
        t_, g_, v_, i_ = zip(*batch)
        ravik.emit_arrow(stream, pa.table({"timestamp": list(t_), "g": list(g_), "v": list(v_),
                                           "id": [str(i) for i in i_]}))
        out = ravik.pull(stream, plan) or {"window_start": [], "g": [], "count": []}
        assert list(zip(out["window_start"], out["g"], out["count"])) == expected[b]
