"""Benchmark: NativeStream.aggregate_trade_numeric against pandas, Polars and NumPy.

Every contender starts from the same four NumPy arrays and must deliver the
same thing: five Python lists (window_start, window_end, symbol_id, avg_value,
count), one element per (window, symbol) group of trades, ordered by window
start and then symbol id. The results are checked to agree, then each
contender is timed; rounds interleave the contenders so that machine noise
hits them alike, and the median of the rounds is reported.

Workloads:
  W1  10,000,000 rows, 90% trades, times rising over one hour, 1,000 symbols,
      60-second windows (60,000 groups)
  W2  10,000,000 rows, 90% trades, times in random order over one hour,
      10,000 symbols, 10-second windows (about 3,300,000 groups)

Usage: .venv/bin/python bench/bench_trades.py [--rows N] [--rounds R] [--workload w1|w2|all]

The peers come from the optional dependency group "bench"
(pip install '.[bench]'); when they are missing, this script installs them
into the running interpreter's environment with pip.
"""

from __future__ import annotations

import argparse
import gc
import importlib
import importlib.util
import math
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import _ravik

KEYS = ("window_start", "window_end", "symbol_id", "avg_value", "count")
# A multiple of both window lengths, so the hour splits into whole windows.
BASE_MS = 1_699_999_980_000
HOUR_MS = 3_600_000


def ensure_peers():
    missing = [name for name in ("pandas", "polars") if importlib.util.find_spec(name) is None]
    if missing:
        print(f"installing {' '.join(missing)} into {sys.prefix} ...", flush=True)
        subprocess.check_call([sys.executable, "-m", "pip", "install", "-q", *missing])
        importlib.invalidate_caches()
    import pandas
    import polars

    return pandas, polars


def make_workload(name: str, rows: int, seed: int = 20240601):
    rng = np.random.default_rng(seed)
    offsets = rng.integers(0, HOUR_MS, rows, dtype=np.int64)
    if name == "w1":
        offsets.sort()
        symbols, window_ms = 1_000, 60_000
    else:
        symbols, window_ms = 10_000, 10_000
    timestamps = BASE_MS + offsets
    is_trade = (rng.random(rows) < 0.9).astype(np.uint8)
    symbol_id = rng.integers(0, symbols, rows, dtype=np.int64)
    values = np.round(rng.uniform(10.0, 500.0, rows), 2)
    return timestamps, is_trade, symbol_id, values, window_ms


def run_ravik(stream, pd, pl, ts, tr, sy, va, w):
    return stream.aggregate_trade_numeric(ts, tr, sy, va, w)


def run_pandas(stream, pd, pl, ts, tr, sy, va, w):
    df = pd.DataFrame({"ts": ts, "is_trade": tr, "symbol_id": sy, "value": va})
    df = df[df["is_trade"] != 0]
    df = df.assign(window_start=(df["ts"] // w) * w)
    g = df.groupby(["window_start", "symbol_id"], sort=True)["value"].agg(["size", "mean"])
    starts = g.index.get_level_values(0)
    return {
        "window_start": starts.tolist(),
        "window_end": (starts + w).tolist(),
        "symbol_id": g.index.get_level_values(1).tolist(),
        "avg_value": g["mean"].tolist(),
        "count": g["size"].tolist(),
    }


def run_polars(stream, pd, pl, ts, tr, sy, va, w):
    df = pl.DataFrame({"ts": ts, "is_trade": tr, "symbol_id": sy, "value": va})
    g = (
        df.lazy()
        .filter(pl.col("is_trade") != 0)
        .with_columns(window_start=(pl.col("ts") // w) * w)
        .group_by(["window_start", "symbol_id"])
        .agg(count=pl.len(), avg_value=pl.col("value").mean())
        .sort(["window_start", "symbol_id"])
        .with_columns(window_end=pl.col("window_start") + w)
        .collect()
    )
    return {key: g[key].to_list() for key in KEYS}


def run_numpy(stream, pd, pl, ts, tr, sy, va, w):
    trades = tr != 0
    starts = (ts[trades] // w) * w
    symbols = sy[trades]
    vals = va[trades]
    order = np.lexsort((symbols, starts))  # stable: input order inside each group
    starts = starts[order]
    symbols = symbols[order]
    vals = vals[order]
    if len(order) == 0:
        return {key: [] for key in KEYS}
    change = np.empty(len(order), dtype=bool)
    change[0] = True
    np.not_equal(starts[1:], starts[:-1], out=change[1:])
    change[1:] |= symbols[1:] != symbols[:-1]
    first = np.flatnonzero(change)
    counts = np.diff(np.append(first, len(order)))
    sums = np.add.reduceat(vals, first)
    group_starts = starts[first]
    return {
        "window_start": group_starts.tolist(),
        "window_end": (group_starts + w).tolist(),
        "symbol_id": symbols[first].tolist(),
        "avg_value": (sums / counts).tolist(),
        "count": counts.tolist(),
    }


CONTENDERS = {"ravik": run_ravik, "pandas": run_pandas, "polars": run_polars, "numpy": run_numpy}


def check_agreement(results):
    reference = results["ravik"]
    for name, result in results.items():
        if list(result.keys()) != list(KEYS):
            raise SystemExit(f"{name}: keys {list(result.keys())}")
        for key in ("window_start", "window_end", "symbol_id", "count"):
            if result[key] != reference[key]:
                raise SystemExit(f"{name} disagrees with ravik on {key}")
        a, b = result["avg_value"], reference["avg_value"]
        if len(a) != len(b) or not all(math.isclose(x, y, rel_tol=1e-12, abs_tol=0.0) for x, y in zip(a, b)):
            raise SystemExit(f"{name} disagrees with ravik on avg_value")


def bench(name, rows, rounds, pd, pl):
    ts, tr, sy, va, w = make_workload(name, rows)
    stream = _ravik.NativeStream.manual(1024, 10, 1024)
    args = (stream, pd, pl, ts, tr, sy, va, w)
    results = {label: fn(*args) for label, fn in CONTENDERS.items()}
    check_agreement(results)
    groups = len(results["ravik"]["count"])
    del results
    times = {label: [] for label in CONTENDERS}
    cpu = {label: [] for label in CONTENDERS}
    for _ in range(rounds):
        for label, fn in CONTENDERS.items():
            gc.collect()
            c0 = time.process_time()
            t0 = time.perf_counter()
            result = fn(*args)
            times[label].append(time.perf_counter() - t0)
            cpu[label].append(time.process_time() - c0)
            del result
    stream.close()
    medians = {label: statistics.median(t) for label, t in times.items()}
    print(f"\n{name.upper()}: {rows:,} rows, {int(tr.sum()):,} trades, {groups:,} groups, "
          f"window {w // 1000} s, median of {rounds} rounds; all four results agree")
    print(f"  {'':8} {'median s':>9} {'best s':>8} {'M rows/s':>9} {'vs ravik':>9} {'cpu s':>7}")
    for label in CONTENDERS:
        med = medians[label]
        ratio = med / medians["ravik"]
        print(f"  {label:8} {med:9.3f} {min(times[label]):8.3f} {rows / med / 1e6:9.1f} {ratio:8.2f}x "
              f"{statistics.median(cpu[label]):7.3f}")
    return medians


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=10_000_000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workload", choices=("w1", "w2", "all"), default="all")
    opts = parser.parse_args()
    if opts.rounds < 1:
        parser.error("--rounds must be at least 1")
    pd, pl = ensure_peers()
    print(f"python {sys.version.split()[0]}, numpy {np.__version__}, pandas {pd.__version__}, "
          f"polars {pl.__version__}, {os.cpu_count()} cpus, load average {os.getloadavg()[0]:.2f}")
    print("ratio = contender's median time / ravik's median time (higher: ravik faster); "
          "cpu s = median process CPU time, all threads")
    for name in (("w1", "w2") if opts.workload == "all" else (opts.workload,)):
        bench(name, opts.rows, opts.rounds, pd, pl)


if __name__ == "__main__":
    main()
