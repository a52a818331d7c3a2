"""Curves of cost against the size of a stream's state, for bench/suite.py.

  pull-cost  one pull of 10 new events with 10^2 .. 10^6 windows open.
  groups     windowed count+mean by group over 1,000,000 events given as Arrow
             (ravik.emit_arrow of a pyarrow Table, results as Arrow batches)
             against Polars on a DataFrame prebuilt from the same Table and
             DuckDB on the same Table; 10^2 .. 10^6 groups, with and without
             dedup, times sorted and shuffled.
  ids        dedup of 10^7 distinct ids (integers, 10- and 32-character
             strings; random and crafted) against a Python set; resident
             bytes per id in a fresh process.
  cuts       400,000 distinct string ids pulled in 1,024-event cuts against
             one cut.
  micro      100-event micro-batches through aggregate_columns against a
             plain Python loop over the same column dict.
"""

from __future__ import annotations

import ctypes
import json
import statistics
import subprocess
import sys
import time
from typing import Any, Callable

import numpy as np

import _ravik

ORIGIN_MS = 1_700_000_000_000
SPAN_MS = 60_000  # the groups workload's events span one minute of event time
WINDOW_S = 10
# Windows align to the first event: every groups table starts with an
# event at ORIGIN_MS (shuffled ones have it moved to the front).
FIRST = ORIGIN_MS
C_MULT = 0x9E3779B97F4A7C15  # the multiplier of a plain multiplicative hash


def _ravik_pkg() -> Any:
    import ravik

    return ravik


def median_time(fn: Callable[[], Any], runs: int) -> tuple[float, Any]:
    times, out = [], None
    for _ in range(runs):
        t0 = time.perf_counter()
        out = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), out


# --------------------------------------------------------------------------- pull cost


def pull_cost(open_windows: int, runs: int) -> float:
    """Median seconds of one pull of 10 new events with `open_windows` windows open."""
    ravik = _ravik_pkg()
    from ravik import _native

    the_plan = ravik.plan(window_seconds=1, by="g", mean="v", allowed_lateness_ms=10**12)
    s = _ravik.NativeStream.manual(1 << 20, 10**9, 1 << 24)
    n = open_windows
    t = ORIGIN_MS + (np.arange(n, dtype=np.int64) % 1000) * 1000
    s.emit_columns({"timestamp": t, "g": [f"g{i}" for i in range(n)], "v": np.ones(n)})
    _native.pull(s, the_plan, True, False, False)
    times = []
    for r in range(max(runs, 5) * 4):
        s.emit_columns({"timestamp": [ORIGIN_MS + 999_000] * 10, "g": ["new"] * 10, "v": [1.0] * 10})
        t0 = time.perf_counter()
        _native.pull(s, the_plan, True, False, False)
        times.append(time.perf_counter() - t0)
    assert s.stats()["output_rows"] == 0
    return statistics.median(times)


def bench_pull_cost(suite: Any) -> None:
    figures = {n: pull_cost(n, suite.runs) for n in (10**2, 10**4, 10**5, 10**6)}
    for n, t in figures.items():
        suite.rows.append(suite.row("pull with open windows", f"ravik, {n:,} open", f"{t * 1e6:.1f} us", t, None, "-"))
    ratio = figures[10**6] / figures[10**2]
    suite.target("one pull with 10^6 open windows <= 3x the cost with 10^2", f"{ratio:.2f}x", ratio <= 3)


# --------------------------------------------------------------------------- groups


def group_events(n: int, groups: int, shuffled: bool, seed: int = 1) -> Any:
    import pyarrow as pa

    rng = np.random.default_rng(seed)
    t = ORIGIN_MS + (np.arange(n, dtype=np.int64) * SPAN_MS) // n
    if shuffled:
        t = rng.permutation(t)
    names = np.array([f"sensor-{i}" for i in range(groups)], dtype=object)
    g = names[rng.integers(0, groups, n)]
    ids = rng.permutation(n).astype(np.int64)
    ids[: n // 100] = ids[n // 100: 2 * (n // 100)]  # 1% repeat another event's id
    return pa.table({"timestamp": t, "g": pa.array(g.tolist(), pa.string()), "v": rng.random(n), "id": ids})


def ravik_groups(table: Any, dedup: bool) -> list[Any]:
    ravik = _ravik_pkg()
    from ravik import _native

    n = table.num_rows
    # Lateness covers the span: shuffled events all count, as in the peers.
    the_plan = ravik.plan(window_seconds=WINDOW_S, by="g", mean="v", allowed_lateness_ms=SPAN_MS,
                          **({"event_id_field": "id"} if dedup else {}))
    s = _ravik.NativeStream.manual(n, 10**9, n)
    ravik.emit_arrow(s, table)
    s.close()
    out = []
    while (b := _native.pull(s, the_plan, False, True, True)[0]) is not None:
        out.append(b)
    return out


def polars_groups(df: Any, dedup: bool) -> Any:
    import polars as pl

    if dedup:
        df = df.unique(subset="id", keep="first", maintain_order=True)
    return (df.with_columns(((pl.col("timestamp") - FIRST) // (WINDOW_S * 1000) * (WINDOW_S * 1000) + FIRST)
                            .alias("window_start"))
            .group_by(["window_start", "g"]).agg(pl.col("v").mean().alias("mean_v"), pl.len().alias("count"))
            .sort(["window_start", "g"]))


def duckdb_groups(con: Any, table: Any, dedup: bool) -> Any:
    source = "(SELECT * FROM t QUALIFY row_number() OVER (PARTITION BY id ORDER BY rn) = 1)" if dedup else "t"
    con.register("t0", table)
    con.execute("CREATE OR REPLACE TEMP VIEW t AS SELECT *, row_number() OVER () AS rn FROM t0")
    return con.execute(
        f"SELECT (timestamp - {FIRST}) // {WINDOW_S * 1000} * {WINDOW_S * 1000} + {FIRST} AS window_start, g, "
        f"avg(v) AS mean_v, count(*) AS count FROM {source} GROUP BY ALL ORDER BY window_start, g").to_arrow_table()




def window_set(batches: list[Any]) -> set[tuple[int, str, int]]:
    import pyarrow as pa

    out: set[tuple[int, str, int]] = set()
    for b in batches:
        t = pa.table(b)
        out.update(zip(t["window_start"].to_pylist(), t["g"].to_pylist(), t["count"].to_pylist()))
    return out


def bench_groups(suite: Any, n: int) -> None:
    try:
        import duckdb
        import polars as pl
        import pyarrow as pa  # noqa: F401
    except ImportError:
        suite.notes.append("groups: skipped (needs polars, duckdb and pyarrow)")
        return
    con = duckdb.connect()
    worst: dict[str, float] = {}
    ravik_times: dict[tuple[int, bool, bool], float] = {}
    for shuffled in (False, True):
        for groups in (10**2, 10**4, 10**5, 10**6):
            table = group_events(n, groups, shuffled)
            if shuffled:  # the first event (by arrival) at the earliest time, so that windows align alike
                first = int(np.argmin(table["timestamp"].to_numpy()))
                order = np.r_[first, np.delete(np.arange(n), first)]
                table = table.take(order)
            df = pl.from_arrow(table)
            for dedup in (False, True):
                label = f"{groups:,} groups{', dedup' if dedup else ''}{', shuffled' if shuffled else ''}"
                progress = f"groups: {label}"
                print(progress, file=sys.stderr, flush=True)
                r_t, r_out = median_time(lambda: ravik_groups(table, dedup), suite.runs)
                p_t, p_out = median_time(lambda: polars_groups(df, dedup), suite.runs)
                d_t, d_out = median_time(lambda: duckdb_groups(con, table, dedup), suite.runs)
                mine = window_set(r_out)
                polars_set = set(zip(p_out["window_start"].to_list(), p_out["g"].to_list(), p_out["count"].to_list()))
                duck_set = set(zip(d_out["window_start"].to_pylist(), d_out["g"].to_pylist(),
                                   d_out["count"].to_pylist()))
                for system, t, agree in (("ravik (Arrow in, Arrow out)", r_t, "-"),
                                         ("Polars (prebuilt DataFrame)", p_t, "yes" if polars_set == mine else "no"),
                                         ("DuckDB (Arrow table)", d_t, "yes" if duck_set == mine else "no")):
                    suite.rows.append(suite.row(f"windowed by group: {label}", system, f"{n / t:,.0f} ev/s", t,
                                                t / r_t, agree))
                key = f"{'shuffled' if shuffled else 'sorted'}{', dedup' if dedup else ''}"
                worst[key] = max(worst.get(key, 0.0), r_t / p_t)
                ravik_times[(groups, shuffled, dedup)] = r_t
    for key, ratio in worst.items():
        suite.target(f"windowed by group, Arrow in ({key}): <= 1.0x Polars' time at 10^2..10^6 groups",
                     f"worst {ratio:.2f}x", ratio <= 1.0)
    shuffle_cost = max(ravik_times[(g, True, False)] / ravik_times[(g, False, False)] for g in (10**2, 10**4))
    suite.target("shuffled events <= 1.5x the cost of sorted ones (10^2 and 10^4 groups)", f"worst {shuffle_cost:.2f}x",
                 shuffle_cost <= 1.5)


# --------------------------------------------------------------------------- ids


def id_values(kind: str, n: int) -> Any:
    rng = np.random.default_rng(3)
    order = rng.permutation(n)
    if kind == "int":
        return order.astype(np.int64) * 7919 + 11
    if kind == "int-crafted":
        inverse = pow(C_MULT, -1, 1 << 64)
        return np.array([((int(j) << 20) * inverse) % (1 << 64) for j in order], dtype=np.uint64).astype(np.int64)
    length = int(kind.split("-")[0])
    if kind.endswith("crafted"):  # one shared prefix, differing only in the last characters
        return [f"{'x' * (length - 12)}{j:012d}" for j in order]
    return [f"{j:0{length}d}"[-length:] if j < 10**length else str(j) for j in (order * 7919 + 11)]


def id_probe(kind: str, n: int) -> dict[str, float]:
    """In a fresh process: seconds to dedup n distinct ids (10 cuts of n/10),
    and resident bytes the stream holds per id afterwards."""
    import pyarrow as pa

    ravik = _ravik_pkg()
    from ravik import _native

    libc = ctypes.CDLL("libc.so.6")
    ids = id_values(kind, n)
    chunk = n // 10
    tables = [pa.table({"id": ids[a:a + chunk], "timestamp": np.zeros(min(chunk, n - a), dtype=np.int64)})
              for a in range(0, n, chunk)]
    the_plan = ravik.plan(event_id_field="id", window_seconds=1, mean="absent")
    s = _ravik.NativeStream.manual(n, 10**9, n + 1)
    libc.malloc_trim(0)
    base = rss()
    t0 = time.perf_counter()
    for t in tables:
        ravik.emit_arrow(s, t)
        _native.pull(s, the_plan, True, False, False)
    elapsed = time.perf_counter() - t0
    libc.malloc_trim(0)
    held = rss() - base
    assert s.stats()["duplicate_events"] == 0
    result = {"seconds": elapsed, "bytes_per_id": held / n}
    if not kind.startswith("int"):
        seen: set[str] = set()
        values = [t["id"].to_pylist() for t in tables]
        t0 = time.perf_counter()
        for part in values:
            for v in part:
                if v in seen:
                    continue
                seen.add(v)
        result["set_seconds"] = time.perf_counter() - t0
        result["text_bytes"] = float(np.mean([len(v) for v in values[0][:1000]]))
    return result


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def bench_ids(suite: Any, n: int) -> None:
    results: dict[str, dict[str, float]] = {}
    for kind in ("int", "int-crafted", "10", "32", "32-crafted"):
        print(f"ids: {kind}", file=sys.stderr, flush=True)
        runs = []
        for _ in range(max(1, min(suite.runs, 3))):
            out = subprocess.run([sys.executable, __file__, "--id-probe", kind, str(n)], check=True,
                                 capture_output=True, text=True).stdout
            runs.append(json.loads(out))
        med = {k: statistics.median(r[k] for r in runs) for k in runs[0]}
        results[kind] = med
        figure = f"{n / med['seconds']:,.0f} ids/s, {med['bytes_per_id']:.1f} B/id"
        suite.rows.append(suite.row(f"dedup of {n:,} ids: {kind}", "ravik", figure, med["seconds"], None, "-"))
        if "set_seconds" in med:
            suite.rows.append(suite.row(f"dedup of {n:,} ids: {kind}", "Python set", f"{n / med['set_seconds']:,.0f} ids/s",
                                        med["set_seconds"], med["set_seconds"] / med["seconds"], "-"))
    ints = results["int"]["bytes_per_id"]
    suite.target("integer ids: at most 15 B per id", f"{ints:.1f} B", ints <= 15)
    for kind in ("10", "32"):
        r = results[kind]
        faster = r["set_seconds"] / r["seconds"]
        extra = r["bytes_per_id"] - r["text_bytes"]
        suite.target(f"{kind}-character ids faster than a Python set", f"{faster:.2f}x", faster > 1)
        suite.target(f"{kind}-character ids: at most 64 B per id beyond the text", f"{extra:.1f} B", extra <= 64)
    for crafted, plain in (("int-crafted", "int"), ("32-crafted", "32")):
        ratio = results[crafted]["seconds"] / results[plain]["seconds"]
        suite.target(f"crafted ids ({crafted}) within 2x of random ones", f"{ratio:.2f}x", ratio <= 2)


# --------------------------------------------------------------------------- cuts


def bench_cuts(suite: Any, n: int = 400_000) -> None:
    ravik = _ravik_pkg()
    ids = [f"id-{i:012d}-{i * 7919 % 1000003:07d}" for i in range(n)]
    columns = {"id": ids, "timestamp": list(range(n))}
    the_plan = ravik.plan(event_id_field="id")

    def run(batch: int) -> int:
        s = _ravik.NativeStream.manual(batch, 10**9, n + 1)
        s.emit_columns(columns)
        s.close()
        rows = 0
        while (b := s.next_batch(the_plan, 0)) is not None:
            rows += len(b["id"])
        return rows

    small, rows_small = median_time(lambda: run(1024), suite.runs)
    whole, rows_whole = median_time(lambda: run(n), suite.runs)
    agree = "yes" if rows_small == rows_whole == n else "no"
    suite.rows.append(suite.row(f"{n:,} distinct string ids", "ravik, 1,024-event cuts", f"{n / small:,.0f} ev/s",
                                small, small / whole, agree))
    suite.rows.append(suite.row(f"{n:,} distinct string ids", "ravik, one cut", f"{n / whole:,.0f} ev/s", whole,
                                1.0, agree))
    suite.target("400,000 distinct string ids in 1,024-event cuts within 1.5x of one cut", f"{small / whole:.2f}x",
                 small / whole <= 1.5)


# --------------------------------------------------------------------------- micro-batches


def python_micro(columns: dict[str, list[Any]], seen: set[Any], windows: dict[Any, list[float]]) -> list[Any]:
    """The same semantics as the plan below, as a plain Python loop over dicts."""
    out = []
    for i in range(len(columns["id"])):
        event = {k: v[i] for k, v in columns.items()}
        if event["id"] in seen:
            continue
        seen.add(event["id"])
        key = (event["timestamp"] - event["timestamp"] % 1000, event["g"])
        w = windows.setdefault(key, [0.0, 0])
        w[0] += event["v"]
        w[1] += 1
    for key in sorted(windows):
        total, count = windows[key]
        out.append((key, total / count, count))
    windows.clear()
    return out


def bench_micro(suite: Any, calls: int = 3000) -> None:
    ravik = _ravik_pkg()
    the_plan = ravik.plan(window_seconds=1, by="g", mean="v", event_id_field="id")

    def make(c: int) -> dict[str, list[Any]]:
        return {"id": list(range(c * 100, c * 100 + 100)),
                "timestamp": [ORIGIN_MS + c * 100 + i for i in range(100)],
                "g": [f"s{i % 10}" for i in range(100)], "v": [float(i) for i in range(100)]}

    def best_of(fn: Callable[[dict[str, list[Any]]], Any]) -> float:
        spent = 0.0
        for c in range(calls):
            columns = make(c)  # fresh input each call, as a producer makes it
            t0 = time.perf_counter()
            fn(columns)
            spent += time.perf_counter() - t0
        return spent / calls

    r_times, p_times = [], []
    for _ in range(suite.runs):
        s = _ravik.NativeStream.manual(1024, 10**9, 1 << 20)
        r_times.append(best_of(lambda d: s.aggregate_columns(d, the_plan)))
        seen: set[Any] = set()
        windows: dict[Any, list[float]] = {}
        p_times.append(best_of(lambda d: python_micro(d, seen, windows)))
    r, p = statistics.median(r_times), statistics.median(p_times)
    suite.rows.append(suite.row("100-event micro-batches (windowed, dedup)", "ravik aggregate_columns",
                                f"{r * 1e6:.1f} us/call", r, 1.0, "-"))
    suite.rows.append(suite.row("100-event micro-batches (windowed, dedup)", "plain Python dict loop",
                                f"{p * 1e6:.1f} us/call", p, p / r, "-"))
    suite.target("100-event micro-batches: at least 10x a plain Python dict loop", f"{p / r:.1f}x", p / r >= 10)


if __name__ == "__main__" and len(sys.argv) == 4 and sys.argv[1] == "--id-probe":
    print(json.dumps(id_probe(sys.argv[2], int(sys.argv[3]))))
