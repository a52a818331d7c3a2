"""The benchmark suite: ravik against its peers, on the same data in the same run.

    bash scripts/bench.sh [--only windowed,filters,...] [--runs R] [--events N] [--readme]

prints one table (workload, system, rate, median time, ratio to ravik,
whether the results agree) and then the targets with their figures;
--readme also writes both, with the machine, into bench/README.md.

Workloads (names for --only):
  windowed   1,000,000 events as NumPy columns through emit_columns and
             next_batch: 10-second windows by "sensor", mean of "value",
             watermark 1000 ms, dedup by "id". Peers: a plain-Python
             implementation of the same semantics (the oracle: its rows
             must equal ravik's exactly, in order), pandas and Polars on the
             whole batch at once (no watermark), Pathway (a streaming engine).
  filters    the same events, two filters and a select of three fields.
  arrow      the filters workload's result into a Polars and a pandas
             DataFrame: through column dicts of Python lists, or through
             ravik.arrow_batches (Arrow data, numeric columns lent).
  producers  emit_json of 1,000,000 dicts and emit_columns of lists, beside
             building the same dicts and lists alone.
  udp        highest lossless rate of a UDP stream fed by a paced C sender
             on 127.0.0.1, beside a bare C recvmmsg receiver (the ceiling).
  receivers  highest lossless rate and CPU per datagram of a UDP stream
             with 1 and with 2 receivers (ravik.udp_stream), fed by 4
             paced sender processes (4 source ports).
  latency    milliseconds from a datagram's sending to the pull that
             brings it, at 100,000 datagrams/s.
  idle       CPU of 64 streams that receive nothing, as a share of a core.
  long-line  emit_lines of one 256 MiB line from a file and from memory.
  trades     aggregate_trade_numeric against pandas, Polars and NumPy (the
             workloads of bench/bench_trades.py).
  memory     resident bytes per queued event, per remembered id and per
             open window, 1,000,000 of each, each in a fresh process.
  options, horizon, idle-close
             streams that run forever (bench/run_forever.py): the plan
             options' cost, resident size under an id horizon over 10^8
             events, how promptly idle closing closes a quiet sender's window.
  hopping, aggregates, sessions, nexmark
             every window and aggregate (bench/window_kinds.py): hopping
             windows, six aggregates per window and sessions over 10^7
             events against Polars and DuckDB, and five Nexmark-style
             queries beside Flink's published per-core figures.

This file (about 650 lines) holds the pipeline workloads (windowed, filters,
arrow, producers, memory) beside the plain-Python oracle they are checked
against, and main; the data and the table's rows are in common.py, the
network workloads in network.py, the output in report.py, the state curves
in state_curves.py.

Rates are events (or rows, or datagrams) per second from the median of the
runs; every system runs once per round, rounds interleaved, so that noise
from the machine hits all alike. "ratio" is ravik's rate divided by the
system's: how many times faster ravik is (below 1: the peer is faster).
"""

from __future__ import annotations

import argparse
import gc
import json
import math
import operator
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

import numpy as np

import _ravik

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

import run_forever  # noqa: E402
import window_kinds  # noqa: E402
import state_curves  # noqa: E402
from common import (  # noqa: E402
    DRAIN_PLAN, EPOCH_ALIGN, FILTER_PLAN, MIN64, ORIGIN_MS, Row, Suite, WATERMARK_MS, WINDOWED_PLAN,
    WINDOW_MS, WINDOW_S, WORKLOADS, have, make_events, plan, progress, timed_rounds,
)
from network import (  # noqa: E402
    bench_hostile, bench_idle, bench_long_line, bench_receivers, bench_trades, bench_udp,
    bench_udp_latency,
)
from report import (  # noqa: E402
    STREAM_NOTE, machine, table, targets_text, write_readme,
)


def display_id(value: Any) -> str:
    """Text form of an id as the stream forms it, for the values this suite uses."""
    if value is None:
        return ""
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, str)):
        return str(value)
    return f"{value:.6g}"


COMPARE = {"==": operator.eq, "!=": operator.ne, ">": operator.gt, ">=": operator.ge, "<": operator.lt,
           "<=": operator.le}


def compile_filter(f: dict[str, Any]) -> Callable[[dict[str, Any]], bool]:
    """Numbers compare as numbers; strings and bools only with == and != and
    only with their own kind; any other pairing, or a missing field, fails."""
    name, compare, const = f["field"], COMPARE[f["op"]], f["value"]
    if isinstance(const, (int, float)) and not isinstance(const, bool):
        def test(event: dict[str, Any]) -> bool:
            v = event.get(name)
            return type(v) in (int, float) and compare(v, const)
    elif f["op"] in ("==", "!=") and isinstance(const, (str, bool)):
        kind = type(const)

        def test(event: dict[str, Any]) -> bool:
            v = event.get(name)
            return type(v) is kind and compare(v, const)
    else:
        def test(event: dict[str, Any]) -> bool:
            return False
    return test


def python_process(columns: dict[str, np.ndarray], the_plan: dict[str, Any]) -> list[Any]:
    """Plain Python, dicts and a loop: the same semantics as the stream for one
    batch holding every event, followed by the flush at close. Returns the
    window rows (start, end, group, mean, count) in emission order, or for a
    plan without a window the passed events as a column dict."""
    names = list(columns)
    lists = [columns[k].tolist() for k in names]
    filters = [compile_filter(f) for f in the_plan["filters"]]
    id_field = the_plan["event_id_field"]
    wm = the_plan["watermark_ms"]
    lateness = max(the_plan["allowed_lateness_ms"] or 0, 0)
    drop_late = the_plan["drop_late"]
    window = the_plan["window"] if the_plan["mean"] is not None else None
    time_field = the_plan["window"]["time_field"] if the_plan["window"] else "timestamp"
    seen: set[str] = set()
    max_t = MIN64
    origin = MIN64
    windows: dict[str, list[Any]] = {}  # key -> [sum, count, start, end, group]
    passed: list[dict[str, Any]] = []
    width = window["seconds"] * 1000 if window else 0
    by = window["by"] if window else None
    mean_field = the_plan["mean"]["field"] if window else None

    for values in zip(*lists):
        event = dict(zip(names, values))
        if filters and not all(f(event) for f in filters):
            continue
        if id_field is not None and id_field in event:
            ident = display_id(event[id_field])
            if ident:
                if ident in seen:
                    continue
                seen.add(ident)
        t = event.get(time_field)
        if type(t) is not int:
            t = time.time_ns() // 1_000_000
        if t > max_t:
            max_t = t
        w = max_t - wm if wm is not None else max_t
        if w > -(2**62) and t + lateness < w and drop_late:
            continue
        if window is None:
            passed.append(event)
            continue
        if t > EPOCH_ALIGN:
            if origin == MIN64:
                origin = t
                start = t
            else:
                start = origin + (t - origin) // width * width
        else:
            start = t // width * width
        group = display_id(event[by]) if by is not None and by in event else ""
        v = event.get(mean_field)
        if not isinstance(v, (int, float)) or isinstance(v, bool):
            continue
        key = f"{start}|{group}"
        agg = windows.get(key)
        if agg is None:
            agg = windows[key] = [0.0, 0, start, start + width, group]
        agg[0] += v
        agg[1] += 1

    if window is None:
        select = the_plan["select"]
        fields = select if select is not None else sorted({k for e in passed for k in e})
        return {k: [e.get(k) for e in passed] for k in fields}  # type: ignore[return-value]

    out = []
    bound = max_t - (wm or 0) - lateness
    for key in sorted(k for k, a in windows.items() if a[3] <= bound):  # str order is UTF-8 byte order
        s, c, start, end, group = windows.pop(key)
        if c:
            out.append((start, end, group, s / c, c))
    for key in sorted(windows):  # the flush once the stream is closed
        s, c, start, end, group = windows.pop(key)
        if c:
            out.append((start, end, group, s / c, c))
    return out


# --------------------------------------------------------------------------- windowed pipeline


def ravik_pull(columns: dict[str, np.ndarray], the_plan: dict[str, Any]) -> tuple[list[dict[str, list]], dict]:
    """emit_columns into a new stream whose worker cuts only at close (one
    batch of every event), close, then next_batch until nothing is left."""
    n = len(columns["timestamp"])
    stream = _ravik.NativeStream.manual(n, 10**9, n)
    stream.emit_columns(columns)
    stream.close()
    batches = []
    while (batch := stream.next_batch(the_plan, 0)) is not None:
        batches.append(batch)
    return batches, stream.stats()


def window_rows(batches: list[dict[str, list]]) -> list[tuple]:
    rows: list[tuple] = []
    for b in batches:
        rows.extend(zip(b["window_start"], b["window_end"], b["sensor"], b["mean_value"], b["count"]))
    return rows


def pandas_windows(pd: Any, columns: dict[str, np.ndarray]) -> list[tuple]:
    df = pd.DataFrame(columns)
    df = df.drop_duplicates("id", keep="first")
    ts = df["timestamp"]
    origin = int(ts.iloc[0])
    start = origin + (ts - origin) // WINDOW_MS * WINDOW_MS if origin > EPOCH_ALIGN else ts // WINDOW_MS * WINDOW_MS
    g = df.assign(window_start=start).groupby(["window_start", "sensor"], sort=False)["value"].agg(["size", "mean"])
    starts = g.index.get_level_values(0).tolist()
    return list(zip(starts, [s + WINDOW_MS for s in starts], g.index.get_level_values(1).tolist(),
                    g["mean"].tolist(), g["size"].tolist()))


def polars_windows(pl: Any, columns: dict[str, np.ndarray]) -> list[tuple]:
    df = pl.DataFrame({"timestamp": columns["timestamp"], "sensor": pl.Series(columns["sensor"], dtype=pl.String),
                       "value": columns["value"], "id": columns["id"]})
    origin = int(columns["timestamp"][0])  # the first event always survives deduplication
    t = pl.col("timestamp")
    start = (origin + (t - origin) // WINDOW_MS * WINDOW_MS) if origin > EPOCH_ALIGN else t // WINDOW_MS * WINDOW_MS
    g = (df.lazy()
         .unique(subset="id", keep="first", maintain_order=True)
         .with_columns(window_start=start)
         .group_by(["window_start", "sensor"])
         .agg(count=pl.len(), mean=pl.col("value").mean())
         .with_columns(window_end=pl.col("window_start") + WINDOW_MS)
         .collect())
    return list(zip(g["window_start"].to_list(), g["window_end"].to_list(), g["sensor"].to_list(),
                    g["mean"].to_list(), g["count"].to_list()))


def same_windows(rows: list[tuple], reference: list[tuple]) -> bool:
    """Same (start, end, group, count) set, means equal to 1e-9 relative."""
    if len(rows) != len(reference):
        return False
    ref = {(r[0], r[1], r[2]): (r[3], r[4]) for r in reference}
    for start, end, group, mean, count in rows:
        want = ref.get((start, end, group))
        if want is None or want[1] != count or not math.isclose(mean, want[0], rel_tol=1e-9, abs_tol=0.0):
            return False
    return True


def pathway_available() -> tuple[bool, str]:
    if have("pathway"):
        return True, ""
    return False, "pathway is not installed"


def bench_windowed(suite: Suite, columns: dict[str, np.ndarray], tmp: pathlib.Path) -> None:
    n = len(columns["timestamp"])
    progress("windowed pipeline")
    systems: dict[str, Callable[[], Any]] = {
        "ravik": lambda: ravik_pull(columns, WINDOWED_PLAN),
        "plain Python (oracle)": lambda: python_process(columns, WINDOWED_PLAN),
    }
    pd = pl = None
    if have("pandas"):
        import pandas as pd  # noqa: F811
        systems["pandas (whole batch)"] = lambda: pandas_windows(pd, columns)
    if have("polars"):
        import polars as pl  # noqa: F811
        systems["Polars (whole batch)"] = lambda: polars_windows(pl, columns)
    times, results = timed_rounds(systems, suite.runs)

    batches, stats = results["ravik"]
    got = window_rows(batches)
    oracle = results["plain Python (oracle)"]
    agree = {"ravik": "yes" if stats["ingested"] == n and stats["dropped"] == 0 else "no",
             "plain Python (oracle)": "yes" if got == oracle else "no"}
    for name in systems:
        if name not in agree:
            agree[name] = "yes" if same_windows(results[name], got) else "no"
    late = stats["late_events"]
    suite.notes.append(
        f"windowed: {n:,} events, {stats['duplicate_events']:,} duplicates and {late:,} late events dropped by ravik, "
        f"{len(got):,} window rows in {len(batches)} batches; the oracle's rows equal ravik's in order "
        f"and to the last bit: {agree['plain Python (oracle)']}")

    if pathway_available()[0]:
        progress("windowed pipeline: Pathway (a fresh process per run)")
        csv = tmp / "events.csv"
        import pandas as pd
        pd.DataFrame({"seq": np.arange(n), "timestamp": columns["timestamp"], "sensor": columns["sensor"],
                      "value": columns["value"], "event_id": columns["id"]}).to_csv(csv, index=False)
        pw_times, pw_rows = [], None
        for _ in range(suite.runs):
            out = tmp / "pathway.json"
            proc = subprocess.run([sys.executable, str(BENCH / "pathway_peer.py"), str(csv), str(out),
                                   str(int(columns["timestamp"][0])), str(WINDOW_MS)],
                                  capture_output=True, text=True)
            if proc.returncode != 0:
                suite.notes.append("Pathway failed: " + proc.stderr.strip().splitlines()[-1])
                break
            result = json.loads(out.read_text())
            pw_times.append(result["seconds"])
            pw_rows = [tuple(r) for r in result["rows"]]
        if pw_rows is not None:
            times["Pathway (streaming)"] = pw_times
            agree["Pathway (streaming)"] = "yes" if same_windows(pw_rows, got) else "no"
    else:
        suite.notes.append("Pathway: " + pathway_available()[1])

    rates = suite.add_rates("windowed pipeline", n, "ev", times, agree, "ravik")
    r = rates["ravik"]
    suite.target("windowed pipeline: >= 15,000,000 events/s end to end", f"{r:,.0f} events/s", r >= 15e6)
    if "Polars (whole batch)" in rates:
        po = r / rates["Polars (whole batch)"]
        suite.target("windowed pipeline: >= 2.5x Polars", f"{po:.2f}x", po >= 2.5)
    py = r / rates["plain Python (oracle)"]
    suite.target("windowed pipeline: >= 20x the plain-Python implementation", f"{py:.1f}x", py >= 20)
    if "Pathway (streaming)" in rates:
        sl = r / rates["Pathway (streaming)"]
        suite.target("windowed pipeline: >= 3x the streaming library (Pathway)", f"{sl:.1f}x", sl >= 3)
    else:
        suite.target("windowed pipeline: >= 3x the streaming library", "no streaming library ran", None)


# --------------------------------------------------------------------------- pass-through with filters


def pandas_filtered(pd: Any, columns: dict[str, np.ndarray]) -> dict[str, list]:
    df = pd.DataFrame(columns)
    kept = df.loc[(df["value"] > 0.2) & (df["sensor"] != "sensor-7"), ["timestamp", "sensor", "value"]]
    return {k: kept[k].tolist() for k in kept.columns}


def polars_filtered(pl: Any, columns: dict[str, np.ndarray]) -> dict[str, list]:
    df = pl.DataFrame({"timestamp": columns["timestamp"], "sensor": pl.Series(columns["sensor"], dtype=pl.String),
                       "value": columns["value"], "id": columns["id"]})
    kept = (df.lazy().filter((pl.col("value") > 0.2) & (pl.col("sensor") != "sensor-7"))
            .select(["timestamp", "sensor", "value"]).collect())
    return {k: kept[k].to_list() for k in kept.columns}


def merge_columns(batches: list[dict[str, list]]) -> dict[str, list]:
    out: dict[str, list] = {}
    for b in batches:
        for k, v in b.items():
            out.setdefault(k, []).extend(v)
    return out


def bench_filters(suite: Suite, columns: dict[str, np.ndarray]) -> None:
    n = len(columns["timestamp"])
    progress("pass-through with filters")
    systems: dict[str, Callable[[], Any]] = {
        "ravik": lambda: ravik_pull(columns, FILTER_PLAN),
        "plain Python": lambda: python_process(columns, FILTER_PLAN),
    }
    if have("pandas"):
        import pandas as pd
        systems["pandas (whole batch)"] = lambda: pandas_filtered(pd, columns)
    if have("polars"):
        import polars as pl
        systems["Polars (whole batch)"] = lambda: polars_filtered(pl, columns)
    times, results = timed_rounds(systems, suite.runs)
    batches, stats = results["ravik"]
    got = merge_columns(batches)
    agree = {"ravik": "yes" if stats["ingested"] == n and stats["late_events"] == 0 else "no"}
    for name in systems:
        if name != "ravik":
            agree[name] = "yes" if results[name] == got else "no"
    suite.notes.append(f"filters: {len(got.get('timestamp', [])):,} of {n:,} events pass; each system ends with "
                       "the same column dict of Python lists")
    rates = suite.add_rates("pass-through, 2 filters + select", n, "ev", times, agree, "ravik")
    r = rates["ravik"]
    suite.target("pass-through with filters: >= 3,000,000 events/s", f"{r:,.0f} events/s", r >= 3e6)
    if "Polars (whole batch)" in rates:
        po = r / rates["Polars (whole batch)"]
        suite.target("pass-through with filters: >= 1.5x Polars", f"{po:.2f}x", po >= 1.5)


def ravik_arrow_pull(columns: dict[str, np.ndarray], the_plan: dict[str, Any]) -> list[Any]:
    """ravik_pull, with each result as an Arrow batch."""
    from ravik import _native

    n = len(columns["timestamp"])
    stream = _ravik.NativeStream.manual(n, 10**9, n)
    stream.emit_columns(columns)
    stream.close()
    batches = []
    while (batch := _native.pull(stream, the_plan, False, True, True)[0]) is not None:
        batches.append(batch)
    return batches


def bench_arrow(suite: Suite, columns: dict[str, np.ndarray]) -> None:
    if not (have("polars") and have("pandas") and have("pyarrow")):
        suite.notes.append("arrow: skipped (needs polars, pandas and pyarrow)")
        return
    import pandas as pd
    import polars as pl
    import pyarrow as pa

    n = len(columns["timestamp"])
    progress("results into DataFrames")

    def polars_of_dicts() -> Any:
        return pl.concat([pl.DataFrame(b) for b in ravik_pull(columns, FILTER_PLAN)[0]])

    def polars_of_arrow() -> Any:
        return pl.concat([pl.DataFrame(b) for b in ravik_arrow_pull(columns, FILTER_PLAN)])

    def pandas_of_dicts() -> Any:
        return pd.concat([pd.DataFrame(b) for b in ravik_pull(columns, FILTER_PLAN)[0]])

    def pandas_of_arrow() -> Any:
        return pa.concat_tables([pa.table(b) for b in ravik_arrow_pull(columns, FILTER_PLAN)]).to_pandas()

    systems: dict[str, Callable[[], Any]] = {
        "ravik -> Arrow -> Polars": polars_of_arrow,
        "ravik -> dict -> Polars": polars_of_dicts,
        "ravik -> Arrow -> pandas": pandas_of_arrow,
        "ravik -> dict -> pandas": pandas_of_dicts,
    }
    times, results = timed_rounds(systems, suite.runs)
    same_polars = results["ravik -> Arrow -> Polars"].equals(results["ravik -> dict -> Polars"])
    same_pandas = results["ravik -> Arrow -> pandas"].reset_index(drop=True).equals(
        results["ravik -> dict -> pandas"].reset_index(drop=True))
    agree = {name: "yes" if (same_polars if "Polars" in name else same_pandas) else "no" for name in systems}
    rates = suite.add_rates("filters result into a DataFrame", n, "ev", times, agree, "ravik -> Arrow -> Polars")
    to_polars = rates["ravik -> Arrow -> Polars"] / rates["ravik -> dict -> Polars"]
    to_pandas = rates["ravik -> Arrow -> pandas"] / rates["ravik -> dict -> pandas"]
    suite.target("results into Polars: Arrow >= 2x the column dicts", f"{to_polars:.2f}x", to_polars >= 2)
    suite.target("results into pandas: Arrow >= 2x the column dicts", f"{to_pandas:.2f}x", to_pandas >= 2)


# --------------------------------------------------------------------------- Python producers


def bench_producers(suite: Suite, columns: dict[str, np.ndarray]) -> None:
    n = len(columns["timestamp"])
    progress("Python producers")
    ts, sensor, value, ident = (columns[k].tolist() for k in ("timestamp", "sensor", "value", "id"))

    def new_stream() -> Any:
        return _ravik.NativeStream.manual(n, 10**9, n)

    def build_dicts() -> None:
        for t, g, v, i in zip(ts, sensor, value, ident):
            d = {"timestamp": t, "sensor": g, "value": v, "id": i}
        del d

    def emit_dicts() -> Any:
        s = new_stream()
        emit = s.emit_json
        for t, g, v, i in zip(ts, sensor, value, ident):
            emit({"timestamp": t, "sensor": g, "value": v, "id": i})
        return s

    def build_lists() -> dict[str, list]:
        return {k: columns[k].tolist() for k in ("timestamp", "sensor", "value", "id")}

    def emit_lists() -> Any:
        s = new_stream()
        s.emit_columns({k: columns[k].tolist() for k in ("timestamp", "sensor", "value", "id")})
        return s

    systems = {"ravik: build dicts + emit_json": emit_dicts, "Python: build the dicts only": build_dicts,
               "ravik: build lists + emit_columns": emit_lists, "Python: build the lists only": build_lists}
    times, results = timed_rounds(systems, suite.runs)
    expected = {"id": ident, "sensor": sensor, "timestamp": ts, "value": value}

    def check(s: Any) -> str:
        s.close()
        out = []
        while (b := s.next_batch(DRAIN_PLAN, 0)) is not None:
            out.append(b)
        return "yes" if merge_columns(out) == expected and s.stats()["dropped"] == 0 else "no"

    agree_json = check(results["ravik: build dicts + emit_json"])
    agree_cols = check(results["ravik: build lists + emit_columns"])
    del results
    med = {k: statistics.median(v) for k, v in times.items()}
    for emit_name, base_name, agree, what in (
            ("ravik: build dicts + emit_json", "Python: build the dicts only", agree_json, "emit_json"),
            ("ravik: build lists + emit_columns", "Python: build the lists only", agree_cols, "emit_columns")):
        ref = med[emit_name]
        suite.rows.append(Row("Python producers", emit_name, f"{n / ref:,.0f} ev/s", ref, 1.0, agree))
        suite.rows.append(Row("Python producers", base_name, f"{n / med[base_name]:,.0f} ev/s", med[base_name],
                              med[base_name] / ref, "-"))
        conv = ref - med[base_name]
        suite.rows.append(Row("Python producers", f"= {what}'s conversion alone",
                              f"{n / conv:,.0f} ev/s" if conv > 0 else "-", conv, None, agree))


# --------------------------------------------------------------------------- UDP ingest


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def memory_probe(kind: str, n: int) -> dict[str, float]:
    """Runs in a fresh process: resident bytes added by n queued events, n
    remembered ids or n open windows, the inputs made before the first reading."""
    chunk = 10_000
    rng = np.random.default_rng(3)
    if kind == "queued":
        columns = make_events(n)
    elif kind == "ids":
        columns = {"id": rng.permutation(n).astype(np.int64), "timestamp": ORIGIN_MS + np.arange(n, dtype=np.int64)}
    else:  # windows: one event per window, all in one time window, a million groups
        columns = {"timestamp": np.full(n, 5_000, dtype=np.int64),
                   "sensor": np.array([f"s{i:07d}" for i in range(n)], dtype=object), "value": rng.random(n)}
    window_plan = plan(window={"seconds": WINDOW_S, "by": "sensor", "time_field": "timestamp"},
                       mean={"field": "value", "alias": "mean_value"}, watermark_ms=WATERMARK_MS)
    id_plan = plan(select=[], event_id_field="id", drop_late=False)
    the_plan = window_plan if kind == "windows" else id_plan

    def feed(stream: Any, lo: int, hi: int) -> None:
        for a in range(lo, hi, chunk):
            stream.emit_columns({k: v[a:min(a + chunk, hi)] for k, v in columns.items()})
            if kind != "queued":
                while processed(stream) < stream.stats()["ingested"]:
                    stream.next_batch(the_plan, 50)

    def processed(stream: Any) -> int:
        st = stream.stats()
        return st["seen_event_ids"] if kind == "ids" else st["open_windows"]

    # Warm-up on a throwaway stream, so that the allocator's pools for the
    # temporaries of one chunk exist before the first reading.
    warm = _ravik.NativeStream.manual(2 * n, 1 if kind != "queued" else 10**9, 2 * n)
    feed(warm, 0, 2 * chunk)
    warm.close()
    del warm
    stream = _ravik.NativeStream.manual(2 * n, 1 if kind != "queued" else 10**9, 2 * n)
    gc.collect()
    before = rss_bytes()
    feed(stream, 0, n)
    gc.collect()
    after = rss_bytes()
    st = stream.stats()
    held = {"queued": st["ingested"] - st["dropped"], "ids": st["seen_event_ids"], "windows": st["open_windows"]}[kind]
    own = 0.0
    if kind == "ids":
        own = float(np.mean([len(str(i)) for i in columns["id"].tolist()]))
    stream.close()
    return {"bytes": (after - before) / n, "held": held, "own": own}


def bench_memory(suite: Suite, n: int) -> None:
    progress("memory (fresh process per measurement)")
    runs = suite.runs
    results: dict[str, list[dict[str, float]]] = {"queued": [], "ids": [], "windows": []}
    for _ in range(runs):
        for kind in results:
            out = subprocess.run([sys.executable, __file__, "--memory-probe", kind, "--events", str(n)],
                                 capture_output=True, text=True, check=True).stdout
            results[kind].append(json.loads(out))
    labels = {"queued": ("bytes per queued event (4 fields, from NumPy columns)", 64),
              "ids": ("bytes per remembered integer id", 32),
              "windows": ("bytes per open window", 300)}
    for kind, probes in results.items():
        label, limit = labels[kind]
        per = statistics.median(p["bytes"] for p in probes)
        own = probes[0]["own"] if kind != "ids" else 0.0
        figure = per - own
        held_ok = all(p["held"] == n for p in probes)
        extra = f" ({per:.0f} - {own:.1f} text)" if own else ""
        suite.rows.append(Row("memory (RSS, 1,000,000 each)" if n == 1_000_000 else f"memory (RSS, {n:,} each)",
                              f"ravik: {label}", f"{figure:.0f} B{extra}", None, None, "yes" if held_ok else "no"))
        suite.target(f"memory: <= {limit} {label}", f"{figure:.0f} bytes", figure <= limit)


# --------------------------------------------------------------------------- report


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--only", default=",".join(WORKLOADS), help="comma-separated: " + ", ".join(WORKLOADS))
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--events", type=int, default=1_000_000)
    ap.add_argument("--trade-rows", type=int, default=10_000_000)
    ap.add_argument("--udp-seconds", type=float, default=0.5)
    ap.add_argument("--id-count", type=int, default=10_000_000)
    ap.add_argument("--horizon-events", type=int, default=100_000_000)
    ap.add_argument("--readme", action="store_true", help="write the table into bench/README.md")
    ap.add_argument("--memory-probe", choices=("queued", "ids", "windows"), help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.memory_probe:
        print(json.dumps(memory_probe(args.memory_probe, args.events)))
        return
    only = [w.strip() for w in args.only.split(",") if w.strip()]
    unknown = set(only) - set(WORKLOADS)
    if unknown:
        ap.error(f"unknown workloads: {', '.join(sorted(unknown))}")
    if args.runs < 5:
        print("note: fewer than 5 runs; the figures are not the medians the targets ask for", file=sys.stderr)

    machine_lines = machine()
    suite = Suite(runs=args.runs)
    started = time.perf_counter()
    columns = make_events(args.events)
    with tempfile.TemporaryDirectory() as d:
        tmp = pathlib.Path(d)
        if "windowed" in only:
            bench_windowed(suite, columns, tmp)
        if "filters" in only:
            bench_filters(suite, columns)
        if "arrow" in only:
            bench_arrow(suite, columns)
        if "producers" in only:
            bench_producers(suite, columns)
        if "udp" in only:
            bench_udp(suite, tmp, args.udp_seconds)
        if "receivers" in only:
            bench_receivers(suite, tmp, args.udp_seconds)
        if "latency" in only:
            bench_udp_latency(suite, tmp, 1.0)
        if "idle" in only:
            bench_idle(suite)
        if "long-line" in only:
            bench_long_line(suite, tmp)
        if "trades" in only:
            bench_trades(suite, args.trade_rows)
        if "memory" in only:
            bench_memory(suite, args.events)
        if "hostile" in only:
            bench_hostile(suite)
        if "pull-cost" in only:
            state_curves.bench_pull_cost(suite)
        if "groups" in only:
            state_curves.bench_groups(suite, args.events)
        if "ids" in only:
            state_curves.bench_ids(suite, args.id_count)
        if "cuts" in only:
            state_curves.bench_cuts(suite)
        if "micro" in only:
            state_curves.bench_micro(suite)
        if "options" in only:
            run_forever.bench_options(suite, columns)
        if "horizon" in only:
            run_forever.bench_horizon(suite, args.horizon_events)
        if "idle-close" in only:
            run_forever.bench_idle_close(suite)
        window_kinds.run(suite, only)
    suite.notes.append(f"the suite took {time.perf_counter() - started:.0f} s")

    print()
    for m in machine_lines:
        print(m)
    print()
    print(table(suite))
    print()
    for n in suite.notes:
        print(f"- {n}")
    print()
    print("Targets:")
    print(targets_text(suite))
    if args.readme:
        write_readme(suite, machine_lines, STREAM_NOTE)
        print(f"\nwrote {BENCH / 'README.md'}")


if __name__ == "__main__":
    main()
