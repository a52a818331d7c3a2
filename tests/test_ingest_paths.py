"""Every way in gives the same results: random mixed events fed as column
dicts (lists, tuples, NumPy arrays of every kind), as single dicts, and
through aggregate_columns, cut into batches in different places, under
random plans. Results, counters and checkpoint files must agree exactly."""

import math
import random

import numpy as np
import pytest

from _ravik import NativeStream
from conftest import make_plan

NEVER = 2**64 - 1
NAMES = ["a", "g", "id", "timestamp", "v", 1]


def random_value(rng):
    kind = rng.randrange(11)
    if kind == 0:
        return None
    if kind == 1:
        return rng.random() < 0.5
    if kind == 2:
        return rng.randrange(-3, 4)
    if kind == 3:
        return 1_700_000_000_000 + rng.randrange(-5000, 5000)
    if kind == 4:
        return rng.choice([-(2**63), 2**63 - 1, 10**12, 10**12 + 1])
    if kind == 5:
        return rng.choice([math.nan, math.inf, -0.0, 5.0, 0.25, 1e6])
    if kind == 6:
        return rng.choice(["5", "05", "", "x", "1e+06", "true", "-0", "\ufffd", "g1"])
    return f"g{rng.randrange(3)}"


def random_events(rng, n):
    """Events of a few schemas, values of mixed types (one column may mix).
    Every event carries an integer time, so that no result depends on the
    wall clock (the core's differential fuzz target covers those times)."""
    fields = [name for name in NAMES if name != "timestamp"]
    schemas = [rng.sample(fields, rng.randrange(0, len(fields))) + ["timestamp"] for _ in range(3)]
    events = []
    for _ in range(n):
        event = {name: random_value(rng) for name in rng.choice(schemas)}
        event["timestamp"] = rng.choice([rng.randrange(-3000, 3000), 1_700_000_000_000 + rng.randrange(-5000, 5000),
                                         -(2**63), 2**63 - 1, 10**12])
        events.append(event)
    return events


def random_plan(rng):
    window = None
    if rng.random() < 0.6:
        window = {"seconds": rng.randrange(1, 4), "by": rng.choice([None, "g", "a"]),
                  "time_field": "timestamp"}
    ops = ["==", "!=", ">", ">=", "<", "<=", "~"]
    filters = [{"field": rng.choice(["a", "g", "v", "1"]), "op": rng.choice(ops), "value": random_value(rng)}
               for _ in range(rng.choice([0, 0, 0, 1, 2]))]
    return make_plan(
        filters=filters,
        select=rng.choice([None, ["a", "missing", "v"], ["timestamp"]]),
        window=window,
        mean=rng.choice([None, {"field": "v", "alias": "m"}, {"field": "a", "alias": "count"}]),
        watermark_ms=rng.choice([None, 0, 1000, -5]),
        allowed_lateness_ms=rng.choice([None, 500]),
        event_id_field=rng.choice([None, "id", "a"]),
        drop_late=rng.choice([None, True, False]),
    )


def as_columns(events, flavour):
    """Runs of events of one schema as column dicts, each column in the given flavour."""
    runs = []
    for event in events:
        if runs and list(runs[-1][0]) == list(event):
            runs[-1].append(event)
        else:
            runs.append([event])
    out = []
    for run in runs:
        columns = {}
        for name in run[0]:
            values = [e[name] for e in run]
            if flavour == "tuple":
                columns[name] = tuple(values)
            elif flavour == "numpy":
                kinds = {type(v) for v in values}
                if kinds == {int} and all(-(2**63) <= v < 2**63 for v in values):
                    columns[name] = np.array(values, dtype=np.int64)
                elif kinds == {float}:
                    columns[name] = np.array(values, dtype=np.float64)
                elif kinds == {bool}:
                    columns[name] = np.array(values, dtype=bool)
                else:
                    columns[name] = np.array(values, dtype=object)
            else:
                columns[name] = values
        out.append(columns)
    return out


def run(steps, feed, tmp_path, tag):
    """One stream per step, resuming from the previous step's checkpoint: it
    is fed, closed (its one cut takes the first batch_size events, which may
    split a column batch) and pulled twice. Returns every result, the
    counters and the checkpoint of each step."""
    path = tmp_path / f"{tag}.ckpt"
    out = []
    for chunk, the_plan, batch_size in steps:
        s = NativeStream.manual(batch_size, NEVER, 10_000)
        if path.exists():
            s.load_checkpoint(str(path))
        feed(s, chunk)
        s.close()
        out.append((s.next_batch(the_plan, 0), s.next_batch(the_plan, 0), s.stats()))
        s.save_checkpoint(str(path))
        out.append(path.read_bytes())
    return out


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, dict) and isinstance(b, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, (list, tuple)) and isinstance(b, (list, tuple)):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return type(a) is type(b) and a == b


@pytest.mark.parametrize("seed", range(30))
def test_columns_dicts_and_aggregate_columns_agree(seed, tmp_path):
    rng = random.Random(seed)
    count = rng.randrange(2, 6)
    events = [random_events(rng, rng.randrange(0, 30)) for _ in range(count)]
    plans = [random_plan(rng) for _ in range(count)]
    steps = [(e, p, rng.randrange(1, 60)) for e, p in zip(events, plans)]

    def by_dicts(s, chunk):
        for e in chunk:
            s.emit_json(e)

    def by_columns(flavour):
        def feed(s, chunk):
            for columns in as_columns(chunk, flavour):
                s.emit_columns(columns)
        return feed

    reference = run(steps, by_dicts, tmp_path, "dicts")
    for flavour in ("list", "tuple", "numpy"):
        assert same(run(steps, by_columns(flavour), tmp_path, flavour), reference), flavour

    # aggregate_columns: one call per feed, each flushing every window.
    a = NativeStream.manual(1, NEVER, 1)
    b = NativeStream.manual(1, NEVER, 1)
    for chunk, the_plan in zip(events, plans):
        merged = [a.aggregate_columns(columns, the_plan) for columns in as_columns(chunk, "numpy")]
        expected = [b.aggregate_columns(columns, the_plan) for columns in as_columns(chunk, "list")]
        assert same(merged, expected)
    assert a.stats() == b.stats()
