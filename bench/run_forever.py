"""Streams that run forever, for bench/suite.py.

  options   the windowed workload (1,000,000 events, dedup, 10 s windows by
            sensor) through ravik.pull with and without the plan options
            (align="epoch", idle_close_ms, late="side", dedup_horizon_ms).
  horizon   10^8 events with unique ids, 10 minutes of event time per 10^7,
            fed in cuts of 10^6: resident size every 10^7 events with
            dedup_horizon_ms of 10 minutes and without one (each in a fresh
            process); every window checked against counts and sums computed
            with NumPy.
  idle      a UDP sender that stops, 100 times (4 streams at once): how late
            its last window comes out after the later of (its last event +
            idle_close_ms) and (the window's end + the watermark).
"""

from __future__ import annotations

import json
import socket
import statistics
import subprocess
import sys
import threading
import time
from typing import Any

import numpy as np

import _ravik

from common import WINDOWED_PLAN, timed_rounds

ORIGIN_MS = 1_700_000_000_000


def _pkg() -> Any:
    import ravik

    return ravik


# --------------------------------------------------------------------------- options


def bench_options(suite: Any, columns: dict[str, np.ndarray]) -> None:
    ravik = _pkg()
    base = dict(window_seconds=10, by="sensor", mean="value", alias="mean_value", watermark_ms=1000,
                event_id_field="id")
    plain = ravik.plan(**base)
    assert {k: plain[k] for k in WINDOWED_PLAN} == WINDOWED_PLAN  # type: ignore[literal-required]
    options = ravik.plan(**base, align="epoch", idle_close_ms=60_000, late="side", dedup_horizon_ms=600_000)
    n = len(columns["id"])

    def run(plan: Any) -> Any:
        def go() -> int:
            stream = _ravik.NativeStream.manual(n, 10**9, n + 1)
            stream.emit_columns(columns)
            stream.close()
            out = ravik.pull(stream, plan)
            return len(out["count"]) if out else 0
        return go

    times, outs = timed_rounds({"ravik, plain plan": run(plain), "ravik, with every option": run(options)}, suite.runs)
    agree = "yes" if outs["ravik, plain plan"] == outs["ravik, with every option"] else "no"
    rates = suite.add_rates("windowed pipeline with the plan options", n, "ev", times,
                            {name: agree for name in times}, "ravik, plain plan")
    cost = rates["ravik, plain plan"] / rates["ravik, with every option"] - 1
    suite.target("plan options cost at most 10% on the windowed workload", f"{cost * 100:+.1f}%", cost <= 0.10)


# --------------------------------------------------------------------------- horizon


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def horizon_probe(n: int, horizon: bool) -> dict[str, Any]:
    """In a fresh process: resident bytes after every tenth of n events."""
    ravik = _pkg()
    per_ms = 10**7 / 600_000  # 10 minutes of event time per 10^7 events
    chunk = 10**6
    plan = ravik.plan(window_seconds=10, by="sensor", mean="value", event_id_field="id", watermark_ms=1000,
                      dedup_horizon_ms=600_000 if horizon else None)
    stream = _ravik.NativeStream.manual(chunk, 10**9, chunk + 1)
    counts: dict[tuple[int, int], list[float]] = {}
    got: dict[tuple[int, int], tuple[int, float]] = {}
    sizes = []
    started = time.perf_counter()
    for a in range(0, n, chunk):
        i = np.arange(a, a + chunk, dtype=np.int64)
        ts = ORIGIN_MS + (i / per_ms).astype(np.int64)
        sensor = i % 100
        value = (i % 7).astype(np.float64)
        stream.emit_columns({"id": i, "timestamp": ts, "sensor": sensor, "value": value})
        out = ravik.pull(stream, plan, flush=False)
        start = ORIGIN_MS + (ts - ORIGIN_MS) // 10_000 * 10_000
        key = start * 100 + sensor
        uniq, inverse = np.unique(key, return_inverse=True)
        c = np.bincount(inverse)
        s = np.bincount(inverse, weights=value)
        for k, cc, ss in zip(uniq.tolist(), c.tolist(), s.tolist()):
            entry = counts.setdefault((k // 100, k % 100), [0, 0.0])
            entry[0] += cc
            entry[1] += ss
        if out:
            for w, g, cnt, mean in zip(out["window_start"], out["sensor"], out["count"], out["mean_value"]):
                got[(w, int(g))] = (cnt, mean)
        if (a + chunk) % (n // 10) == 0:
            sizes.append(rss())
    stream.close()
    out = ravik.pull(stream, plan)
    if out:
        for w, g, cnt, mean in zip(out["window_start"], out["sensor"], out["count"], out["mean_value"]):
            got[(w, int(g))] = (cnt, mean)
    exact = len(got) == len(counts) and all(
        got[k][0] == c and got[k][1] == s / c for k, (c, s) in counts.items())
    return {"sizes": sizes, "exact": exact, "seconds": time.perf_counter() - started,
            "ids": stream.stats()["seen_event_ids"]}


def bench_horizon(suite: Any, n: int) -> None:
    runs = {}
    for horizon in (True, False):
        print(f"horizon: {'with' if horizon else 'without'}", file=sys.stderr, flush=True)
        out = subprocess.run([sys.executable, __file__, "--horizon-probe", str(n), "1" if horizon else "0"],
                             check=True, capture_output=True, text=True).stdout
        runs[horizon] = json.loads(out)
    with_h, without = runs[True], runs[False]
    mib = [round(s / 2**20) for s in with_h["sizes"]]
    suite.rows.append(suite.row(f"{n:,} unique ids, horizon 10 min", "ravik: RSS every tenth (MiB)",
                                " ".join(map(str, mib)), with_h["seconds"], None, "yes" if with_h["exact"] else "no"))
    mib_without = [round(s / 2**20) for s in without["sizes"]]
    suite.rows.append(suite.row(f"{n:,} unique ids, no horizon", "ravik: RSS every tenth (MiB)",
                                " ".join(map(str, mib_without)), without["seconds"], None,
                                "yes" if without["exact"] else "no"))
    # Flat after the first horizons: ids live one to two horizons (two
    # generations), so from the third tenth on.
    settled = with_h["sizes"][2:]
    spread = max(settled) / min(settled) - 1
    suite.target("horizon: resident size flat (within 10%) after the first horizons", f"{spread * 100:.1f}%",
                 spread <= 0.10 and with_h["exact"])
    grow = (without["sizes"][-1] - without["sizes"][0]) / 2**20
    suite.notes.append(f"horizon: without one, the same run grew by {grow:,.0f} MiB from the first tenth to the "
                       f"last ({without['ids']:,} ids remembered; with it, {with_h['ids']:,})")


# --------------------------------------------------------------------------- idle


def _one_stream_stops(stops: int, delays: list[float], errors: list[str]) -> None:
    ravik = _pkg()
    linger = 10
    stream = ravik.udp_stream("127.0.0.1", 0, linger_ms=linger)
    plan = ravik.plan(window_seconds=1, mean="v", watermark_ms=200, idle_close_ms=500, align="epoch")
    port = stream.address()[1]
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    emitted: list[tuple[int, float]] = []  # (window start, wall ms when it came out)

    def read() -> None:
        for batch in ravik.batches(stream, plan, timeout_ms=100):
            now = time.time() * 1000
            emitted.extend((w, now) for w in batch["window_start"])

    reader = threading.Thread(target=read)
    reader.start()
    try:
        for _ in range(stops):
            last = 0
            for _ in range(5):
                last = time.time_ns() // 1_000_000
                sender.sendto(json.dumps({"timestamp": last, "v": 1}).encode(), ("127.0.0.1", port))
                time.sleep(0.02)
            start = last // 1000 * 1000
            due = max(last + 500, start + 1000 + 200)
            deadline = time.monotonic() + 5
            while not any(w == start for w, _ in emitted):
                if time.monotonic() > deadline:
                    errors.append(f"window {start} never came out")
                    break
                time.sleep(0.005)
            for w, at in emitted:
                if w == start:
                    delays.append(at - due)
            # Quiet a little longer before the next run, so that it starts in a new window.
            time.sleep(max(0.0, (start + 1000 - time.time() * 1000) / 1000) + 0.05)
    finally:
        stream.close()
        reader.join()
        sender.close()


def bench_idle_close(suite: Any, stops: int = 100, streams: int = 4) -> None:
    delays: list[float] = []
    errors: list[str] = []
    threads = [threading.Thread(target=_one_stream_stops, args=(stops // streams, delays, errors))
               for _ in range(streams)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    delays.sort()
    p99 = delays[min(len(delays) - 1, int(len(delays) * 0.99))] if delays else float("nan")
    suite.rows.append(suite.row(f"idle closing, {len(delays)} stops", "ravik: delay beyond due, median / p99",
                                f"{statistics.median(delays):.1f} / {p99:.1f} ms" if delays else "-", None, None,
                                "yes" if not errors else "no"))
    suite.target("idle closing: last window within linger + 10 ms of its due time (p99)", f"{p99:.1f} ms",
                 not errors and p99 <= 10 + 10)


if __name__ == "__main__" and len(sys.argv) == 4 and sys.argv[1] == "--horizon-probe":
    print(json.dumps(horizon_probe(int(sys.argv[2]), sys.argv[3] == "1")))
