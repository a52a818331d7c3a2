"""Every window and aggregate, for bench/suite.py.

All on the same 10^7 events (one every millisecond, 1,000 groups "s0".."s999",
a float "v" and an integer "user"), handed to ravik as a prebuilt Arrow
table (emit_arrow and the pull timed together) and to the peers as a
prebuilt DataFrame or table (their query timed alone):

  hopping     windows of 1 h every 1 min by group, count and mean: ravik's
              hopping windows beside its tumbling 1 min windows (the cost a
              hop adds), Polars group_by_dynamic(every="1m", period="1h")
              and DuckDB (each event joined to the 60 windows over it).
  aggregates  1 min windows by group with six aggregates (min, max, sum,
              first, last, stddev) beside count and mean alone; Polars
              group_by_dynamic and DuckDB time_bucket with the same six.
  sessions    sessions by group closing after 5 s without an event, count
              and mean; Polars and DuckDB numbering sessions from the gaps
              between a group's sorted events.
  nexmark     a bid stream (1,000 auctions, 1,000 bidders, a price; 10^7 bids,
              one a ms)
              through five small queries after Nexmark's: pass-through (q0),
              a filter (q2), bids per auction in 10 s windows every 2 s
              (q5's hot items), the highest price per 10 s window (q7),
              bids per bidder session of 10 s gap (q11); ravik runs on one
              core, so its rate is its rate per core. Beside it, the figures
              one vendor publishes for Flink on 8 cores.
"""

from __future__ import annotations

import math
from typing import Any

import numpy as np

import _ravik

from common import have, progress, timed_rounds

N = 10_000_000
GROUPS = 1000
# An hour boundary, so that epoch-aligned windows and the peers' agree.
ORIGIN_MS = 1_699_999_200_000

# Published per-core figures (records/s over cores) for comparison: Alibaba
# Cloud's Nexmark white paper for its Flink service, 8 compute units of one
# core each, 10^8 records: q0-q2 4 to 6.5 million/s, q4/q5/q16 150,000 to
# 630,000/s (https://www.alibabacloud.com/help/en/flink/realtime-flink/support/nexmark-performance-testing).
FLINK_PER_CORE = {"simple (q0-q2)": (4e6 / 8, 6.5e6 / 8), "windows and aggregation (q4, q5, q16)": (150e3 / 8, 630e3 / 8)}


def _pkg() -> Any:
    import ravik

    return ravik


def _events(n: int) -> Any:
    import pyarrow as pa

    rng = np.random.default_rng(25)
    groups = rng.integers(0, GROUPS, n)
    names = np.array([f"s{i}" for i in range(GROUPS)])
    return pa.table({"timestamp": ORIGIN_MS + np.arange(n, dtype=np.int64),
                     "g": pa.DictionaryArray.from_arrays(groups.astype(np.int32), names).cast(pa.string()),
                     "v": np.round(rng.random(n) * 1000, 2), "user": rng.integers(0, 100_000, n)})


def _ravik_run(table: Any, the_plan: Any) -> Any:
    """emit_arrow, close, pull everything (windows flushed): the rows as Arrow."""
    ravik = _pkg()
    import pyarrow as pa

    def go() -> Any:
        stream = _ravik.NativeStream.manual(len(table) + 1, 10**9, len(table) + 1)
        ravik.emit_arrow(stream, table)
        stream.close()
        parts = []
        # The windows the events close, then (nothing else coming) the rest, flushed.
        while (out := ravik._native.pull(stream, the_plan, True, True, True)[0]) is not None:
            parts.append(pa.table(out))
        return pa.concat_tables(parts) if parts else None
    return go


def _arrow_of(result: Any) -> Any:
    """A DuckDB result as an Arrow table (the method's name changed in DuckDB 2)."""
    return result.to_arrow_table() if hasattr(result, "to_arrow_table") else result.fetch_arrow_table()


def _polars_frame(table: Any) -> Any:
    """The events as a Polars frame with a datetime column "ts" (built once, outside the timing)."""
    import polars as pl

    return pl.from_arrow(table).with_columns(pl.col("timestamp").cast(pl.Datetime("ms")).alias("ts"))


def _duckdb_query(table: Any) -> Any:
    """A function running SQL over the events (table "events") into an Arrow table."""
    import duckdb

    con = duckdb.connect()
    con.register("events", table)
    return lambda sql: _arrow_of(con.execute(sql))


def _polars_windows(result: Any) -> dict[tuple, dict[str, Any]]:
    """A group_by_dynamic result by (g, window_start in ms)."""
    import polars as pl

    return _by_window(result.with_columns(pl.col("ts").dt.epoch("ms").alias("window_start")).to_arrow(),
                      ("g", "window_start"))


def _by_window(rows: Any, keys: tuple[str, ...]) -> dict[tuple, dict[str, Any]]:
    cols = rows.to_pydict()
    names = list(cols)
    return {tuple(cols[k][i] for k in keys): {n: cols[n][i] for n in names} for i in range(rows.num_rows)}


def _close(a: Any, b: Any) -> bool:
    if a is None or b is None:
        return a is None and b is None
    return math.isclose(a, b, rel_tol=1e-9, abs_tol=1e-6)


def _agree(ours: dict[tuple, dict[str, Any]], theirs: dict[tuple, dict[str, Any]], names: dict[str, str]) -> str:
    """Every window of the peer found in ours with the same values."""
    if not theirs:
        return "no"
    for key, row in theirs.items():
        mine = ours.get(key)
        if mine is None or not all(_close(mine[a], row[b]) for a, b in names.items()):
            return "no"
    return "yes"


def bench_hopping(suite: Any, table: Any) -> None:
    ravik = _pkg()
    progress("hopping windows")
    tumbling = ravik.plan(window_seconds=60, by="g", mean="v", alias="m", align="epoch")
    hopping = ravik.plan(window_seconds=3600, hop_seconds=60, by="g", mean="v", alias="m", align="epoch")
    systems = {"ravik hopping 1 h / 1 min": _ravik_run(table, hopping),
               "ravik tumbling 1 min (for the ratio)": _ravik_run(table, tumbling)}
    if have("polars"):
        import polars as pl

        frame = _polars_frame(table)

        def polars_hopping() -> Any:
            return frame.group_by_dynamic("ts", every="1m", period="1h", group_by="g", closed="left").agg(
                pl.len().alias("count"), pl.col("v").mean().alias("m"))
        systems["Polars group_by_dynamic"] = polars_hopping
    if have("duckdb"):
        query = _duckdb_query(table)
        systems["DuckDB (60 windows per event)"] = lambda: query("""
            select g, (timestamp // 60000 - k) * 60000 as window_start, count(*) as count, avg(v) as m
            from events, range(60) r(k) group by all""")
    times, results = timed_rounds(systems, suite.runs)
    ours = _by_window(results["ravik hopping 1 h / 1 min"], ("g", "window_start"))
    agree = {name: "-" for name in systems}
    names = {"count": "count", "m": "m"}
    if "Polars group_by_dynamic" in results:
        agree["Polars group_by_dynamic"] = _agree(ours, _polars_windows(results["Polars group_by_dynamic"]), names)
    if "DuckDB (60 windows per event)" in results:
        agree["DuckDB (60 windows per event)"] = _agree(
            ours, _by_window(results["DuckDB (60 windows per event)"], ("g", "window_start")), names)
    rates = suite.add_rates("hopping 1 h / 1 min", N, "ev", times, agree, "ravik hopping 1 h / 1 min")
    hop = rates["ravik hopping 1 h / 1 min"]
    cost = rates["ravik tumbling 1 min (for the ratio)"] / hop
    suite.target("hopping 1 h / 1 min: cost per event within 1.5x of tumbling windows", f"{cost:.2f}x", cost <= 1.5)
    if "Polars group_by_dynamic" in rates:
        po = hop / rates["Polars group_by_dynamic"]
        suite.target("hopping 1 h / 1 min: >= 5x Polars group_by_dynamic", f"{po:.1f}x", po >= 5)
    suite.notes.append(f"hopping: {len(ours):,} windows from ravik (it also emits the windows that start up to "
                       "59 min before the first event and end after the last; the peers' windows are compared "
                       "where both have them)")


SIX = {"lo": ("min", "v"), "hi": ("max", "v"), "s": ("sum", "v"), "f": ("first", "v"), "l": ("last", "v"),
       "sd": ("stddev", "v")}


def bench_aggregates(suite: Any, table: Any) -> None:
    ravik = _pkg()
    progress("six aggregates per window")
    plain = ravik.plan(window_seconds=60, by="g", mean="v", alias="m", align="epoch")
    six = ravik.plan(window_seconds=60, by="g", mean="v", alias="m", align="epoch", aggregates=SIX)
    systems = {"ravik six aggregates + mean": _ravik_run(table, six),
               "ravik count + mean (for the ratio)": _ravik_run(table, plain)}
    if have("polars"):
        import polars as pl

        frame = _polars_frame(table)
        v = pl.col("v")

        def polars_six() -> Any:
            return frame.group_by_dynamic("ts", every="1m", group_by="g", closed="left").agg(
                pl.len().alias("count"), v.mean().alias("m"), v.min().alias("lo"), v.max().alias("hi"),
                v.sum().alias("s"), v.first().alias("f"), v.last().alias("l"), v.std().alias("sd"))
        systems["Polars group_by_dynamic"] = polars_six
    if have("duckdb"):
        query = _duckdb_query(table)
        systems["DuckDB time_bucket"] = lambda: query("""
            select g, timestamp // 60000 * 60000 as window_start, count(*) as count, avg(v) as m,
                   min(v) as lo, max(v) as hi, sum(v) as s, arg_min(v, timestamp) as f,
                   arg_max(v, timestamp) as l, stddev_samp(v) as sd
            from events group by all""")
    times, results = timed_rounds(systems, suite.runs)
    ours = _by_window(results["ravik six aggregates + mean"], ("g", "window_start"))
    names = {"count": "count", "m": "m", "lo": "lo", "hi": "hi", "s": "s", "f": "f", "l": "l", "sd": "sd"}
    agree = {name: "-" for name in systems}
    if "Polars group_by_dynamic" in results:
        agree["Polars group_by_dynamic"] = _agree(ours, _polars_windows(results["Polars group_by_dynamic"]), names)
    if "DuckDB time_bucket" in results:
        agree["DuckDB time_bucket"] = _agree(ours, _by_window(results["DuckDB time_bucket"], ("g", "window_start")),
                                             names)
    rates = suite.add_rates("six aggregates, 1 min", N, "ev", times, agree, "ravik six aggregates + mean")
    cost = rates["ravik count + mean (for the ratio)"] / rates["ravik six aggregates + mean"]
    suite.target("six aggregates per window: at most 2x the cost of count + mean", f"{cost:.2f}x", cost <= 2)


def bench_sessions(suite: Any, table: Any) -> None:
    ravik = _pkg()
    progress("session windows")
    gap = 5000
    systems = {"ravik sessions": _ravik_run(table, ravik.plan(session_gap_ms=gap, by="g", mean="v", alias="m"))}
    if have("polars"):
        import polars as pl

        frame = pl.from_arrow(table)

        def polars_sessions() -> Any:
            return (frame.sort("g", "timestamp")
                    .with_columns((pl.col("timestamp").diff().over("g").fill_null(gap) >= gap).cum_sum().alias("sid"))
                    .group_by("g", "sid").agg(pl.col("timestamp").min().alias("window_start"),
                                              pl.len().alias("count"), pl.col("v").mean().alias("m")))
        systems["Polars (sort, gaps, group_by)"] = polars_sessions
    if have("duckdb"):
        query = _duckdb_query(table)
        systems["DuckDB (window functions)"] = lambda: query(f"""
            with marked as (
                select *, case when timestamp - lag(timestamp) over (partition by g order by timestamp) < {gap}
                               then 0 else 1 end as fresh from events),
            numbered as (select *, sum(fresh) over (partition by g order by timestamp) as sid from marked)
            select g, min(timestamp) as window_start, count(*) as count, avg(v) as m
            from numbered group by g, sid""")
    times, results = timed_rounds(systems, suite.runs)
    ours = _by_window(results["ravik sessions"], ("g", "window_start"))
    agree = {"ravik sessions": "-"}
    for name in systems:
        if name == "ravik sessions":
            continue
        res = results[name]
        theirs = _by_window(res.to_arrow() if hasattr(res, "to_arrow") else res, ("g", "window_start"))
        agree[name] = "yes" if len(theirs) == len(ours) and _agree(ours, theirs, {"count": "count", "m": "m"}) == "yes" \
            else "no"
    suite.add_rates("sessions, 5 s gap", N, "ev", times, agree, "ravik sessions")
    suite.notes.append(f"sessions: {len(ours):,} sessions of {GROUPS:,} groups")


def bench_nexmark(suite: Any) -> None:
    ravik = _pkg()
    import pyarrow as pa

    progress("Nexmark-style queries")
    rng = np.random.default_rng(5)
    bids = pa.table({"timestamp": ORIGIN_MS + np.arange(N, dtype=np.int64),
                     "auction": rng.integers(0, 1_000, N), "bidder": rng.integers(0, 1_000, N),
                     "price": rng.integers(1, 10_000, N)})
    queries = {
        "q0 pass-through": ravik.plan(),
        "q2 filter price > 9900": ravik.plan(filters=["price > 9900"]),
        "q5 bids per auction, 10 s every 2 s": ravik.plan(window_seconds=10, hop_seconds=2, by="auction",
                                                          align="epoch", aggregates={"bids": ("count",)}),
        "q7 highest price per 10 s": ravik.plan(window_seconds=10, align="epoch",
                                                aggregates={"highest": ("max", "price")}),
        "q11 bids per bidder session, 10 s gap": ravik.plan(session_gap_seconds=10, by="bidder",
                                                            aggregates={"bids": ("count",)}),
    }
    systems = {name: _ravik_run(bids, q) for name, q in queries.items()}
    times, results = timed_rounds(systems, suite.runs)
    agree = {name: "-" for name in systems}
    agree["q0 pass-through"] = "yes" if results["q0 pass-through"].num_rows == N else "no"
    expected = int((bids["price"].to_numpy() > 9900).sum())
    agree["q2 filter price > 9900"] = "yes" if results["q2 filter price > 9900"].num_rows == expected else "no"
    for name in ("q5 bids per auction, 10 s every 2 s", "q11 bids per bidder session, 10 s gap"):
        total = sum(results[name].column("bids").to_pylist())
        agree[name] = "yes" if total == (5 * N if name.startswith("q5") else N) else "no"
    highest = max(results["q7 highest price per 10 s"].column("highest").to_pylist())
    agree["q7 highest price per 10 s"] = "yes" if highest == float(bids["price"].to_numpy().max()) else "no"
    suite.add_rates("Nexmark-style, one core", N, "ev", times, agree, "q0 pass-through")
    for what, (lo, hi) in FLINK_PER_CORE.items():
        suite.notes.append(f"Nexmark: Flink (Alibaba Cloud's published figures, 8 cores) {what}: "
                           f"{lo:,.0f} to {hi:,.0f} records/s per core; ravik's rows above are one core's")


def run(suite: Any, only: list[str]) -> None:
    if not have("pyarrow"):
        suite.notes.append("window kinds: pyarrow missing, skipped")
        return
    table = _events(N) if {"hopping", "aggregates", "sessions"} & set(only) else None
    if "hopping" in only:
        bench_hopping(suite, table)
    if "aggregates" in only:
        bench_aggregates(suite, table)
    if "sessions" in only:
        bench_sessions(suite, table)
    if "nexmark" in only:
        bench_nexmark(suite)
