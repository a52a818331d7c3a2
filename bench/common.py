"""What every workload of the benchmark suite shares: the data, the plans, the
result table's rows and the timing of rounds."""

from __future__ import annotations

import gc
import importlib.util
import pathlib
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable

import numpy as np


BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent

ORIGIN_MS = 1_700_000_000_000
WINDOW_S = 10
WINDOW_MS = WINDOW_S * 1000
WATERMARK_MS = 1000
MIN64 = -(2**63)
EPOCH_ALIGN = 10**12
SENSORS = [f"sensor-{i}" for i in range(100)]

WORKLOADS = ("windowed", "filters", "arrow", "producers", "udp", "receivers", "latency", "idle", "long-line",
             "trades", "memory", "hostile", "pull-cost", "groups", "ids", "cuts", "micro", "options", "horizon",
             "idle-close", "hopping", "aggregates", "sessions", "nexmark")


def plan(**overrides: Any) -> dict[str, Any]:
    p: dict[str, Any] = {
        "filters": [],
        "select": None,
        "window": None,
        "mean": None,
        "watermark_ms": None,
        "allowed_lateness_ms": None,
        "event_id_field": None,
        "drop_late": True,
    }
    p.update(overrides)
    return p


WINDOWED_PLAN = plan(
    window={"seconds": WINDOW_S, "by": "sensor", "time_field": "timestamp"},
    mean={"field": "value", "alias": "mean_value"},
    watermark_ms=WATERMARK_MS,
    event_id_field="id",
)
FILTER_PLAN = plan(
    filters=[{"field": "value", "op": ">", "value": 0.2}, {"field": "sensor", "op": "!=", "value": "sensor-7"}],
    select=["timestamp", "sensor", "value"],
    watermark_ms=WATERMARK_MS,
)
DRAIN_PLAN = plan(drop_late=False)


# --------------------------------------------------------------------------- data


def make_events(n: int, seed: int = 7) -> dict[str, np.ndarray]:
    """n events: "timestamp" rising by 1 ms from ORIGIN_MS, 5% of them moved
    back by 1 to 500 ms (out of order, never late under a 1000 ms watermark);
    "sensor" one of 100 strings (an object array of shared str objects);
    "value" uniform in [0, 1); "id" the event's index, except for 1% of the
    events, which repeat the id of another event."""
    rng = np.random.default_rng(seed)
    ts = ORIGIN_MS + np.arange(n, dtype=np.int64)
    moved = rng.random(n) < 0.05
    moved[0] = False  # the first event fixes the window origin
    ts[moved] -= rng.integers(1, 501, int(moved.sum()), dtype=np.int64)
    sensors = np.array(SENSORS, dtype=object)[rng.integers(0, len(SENSORS), n)]
    ids = np.arange(n, dtype=np.int64)
    dup = rng.choice(n, n // 100, replace=False)
    ids[dup] = rng.integers(0, n, len(dup), dtype=np.int64)
    return {"timestamp": ts, "sensor": sensors, "value": rng.random(n), "id": ids}


# --------------------------------------------------------------------------- results


@dataclass
class Row:
    workload: str
    system: str
    figure: str  # rate or size, with its unit
    median_s: float | None
    ratio: float | None
    agree: str


@dataclass
class Suite:
    runs: int
    rows: list[Row] = field(default_factory=list)
    targets: list[tuple[str, str, bool | None]] = field(default_factory=list)
    notes: list[str] = field(default_factory=list)

    def add_rates(self, workload: str, n: int, unit: str, times: dict[str, list[float]],
                  agree: dict[str, str], reference: str) -> dict[str, float]:
        med = {name: statistics.median(t) for name, t in times.items()}
        for name, m in med.items():
            self.rows.append(Row(workload, name, f"{n / m:,.0f} {unit}/s", m, m / med[reference],
                                 agree.get(name, "-")))
        return {name: n / m for name, m in med.items()}

    def row(self, workload: str, system: str, figure: str, median_s: float | None, ratio: float | None,
            agree: str) -> Row:
        return Row(workload, system, figure, median_s, ratio, agree)

    def target(self, text: str, figure: str, met: bool | None) -> None:
        self.targets.append((text, figure, met))


def timed_rounds(systems: dict[str, Callable[[], Any]], runs: int) -> tuple[dict[str, list[float]], dict[str, Any]]:
    """Runs every system once per round, `runs` rounds; returns the times and
    each system's result of the last round."""
    times: dict[str, list[float]] = {name: [] for name in systems}
    results: dict[str, Any] = {}
    for _ in range(runs):
        for name, fn in systems.items():
            results.pop(name, None)
            gc.collect()
            t0 = time.perf_counter()
            out = fn()
            times[name].append(time.perf_counter() - t0)
            results[name] = out
    return times, results


def progress(text: str) -> None:
    print(f"  ... {text}", file=sys.stderr, flush=True)


def have(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


# --------------------------------------------------------------------------- the plain-Python oracle
