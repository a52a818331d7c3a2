"""Events per second through the pipeline: emit_columns of NumPy columns,
then next_batch until nothing more comes out.

    .venv/bin/python bench/bench_pipeline.py [--events N] [--runs R] [--only windowed|filter]

Two plans: a windowed plan (10-second windows grouped by a string column
with 100 values, mean of a float column) and a pass-through plan with one
filter that keeps about half the events. Each run uses a new stream whose
worker cuts only at close, so all events form one batch; the time counted
is emit_columns + close + every next_batch call. Prints the median of the
runs, the split between the two halves of the pipeline, and the CPU time
of the calling thread (which does all the work but the batch cut; on a
shared, busy machine it is the steadier figure).
"""

import argparse
import statistics
import time

import numpy as np

from _ravik import NativeStream

ORIGIN = 1_700_000_000_000


def make_columns(n):
    rng = np.random.default_rng(7)
    groups = np.array([f"g{i:02d}" for i in range(100)])
    return {
        "timestamp": ORIGIN + np.arange(n, dtype=np.int64),  # rising, 1 ms apart
        "group": groups[rng.integers(0, 100, n)],
        "value": rng.random(n),
    }


def plan(**overrides):
    p = {
        "filters": [],
        "select": None,
        "window": None,
        "mean": None,
        "watermark_ms": None,
        "allowed_lateness_ms": None,
        "event_id_field": None,
        "drop_late": None,
    }
    p.update(overrides)
    return p


PLANS = {
    "windowed": plan(
        window={"seconds": 10, "by": "group", "time_field": "timestamp"},
        mean={"field": "value", "alias": "avg_value"},
    ),
    "filter": plan(filters=[{"field": "value", "op": ">=", "value": 0.5}]),
}


def one_run(columns, n, the_plan):
    s = NativeStream.manual(n, 10**9, n)
    c0 = time.thread_time()
    t0 = time.perf_counter()
    s.emit_columns(columns)
    t1 = time.perf_counter()
    s.close()  # the final cut: one batch of all n events
    rows = 0
    calls = 0
    while True:
        out = s.next_batch(the_plan, 0)
        calls += 1
        if out is None:
            break
        rows += len(next(iter(out.values()))) if out else 0
    t2 = time.perf_counter()
    cpu = time.thread_time() - c0
    stats = s.stats()
    assert stats["ingested"] == n and stats["dropped"] == 0, stats
    return t2 - t0, t1 - t0, t2 - t1, cpu, rows


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=1_000_000)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--only", choices=sorted(PLANS))
    args = ap.parse_args()
    n = args.events
    columns = make_columns(n)
    names = [args.only] if args.only else list(PLANS)
    print(f"{n:,} events, median of {args.runs} runs")
    print(f"{'plan':<10} {'events/s':>12} {'total s':>9} {'emit s':>8} {'pull s':>8} {'cpu s':>8} "
          f"{'events/cpu-s':>13} {'rows out':>10}")
    for name in names:
        runs = [one_run(columns, n, PLANS[name]) for _ in range(args.runs)]
        total, emit, pull, cpu, rows = (statistics.median(r[i] for r in runs) for i in range(5))
        print(f"{name:<10} {n / total:>12,.0f} {total:>9.3f} {emit:>8.3f} {pull:>8.3f} {cpu:>8.3f} "
              f"{n / cpu:>13,.0f} {int(rows):>10,}")


if __name__ == "__main__":
    main()
