"""Options of ravik.plan for streams that run forever: aligned windows, idle
closing, late events aside, ids with a horizon, a bounded backlog; checked
against a plain model of the same rules, through the package's pulls."""

import json
import random
import re
import signal
import subprocess
import time

import pyarrow
import pytest

import ravik
from ravik import _native
from test_cli import ravik_command
from udp_support import Sender, wait_for

W_MS = 1000


def _plan(**options):
    return ravik.plan(window_seconds=1, by="g", mean="v", event_id_field="id", **options)


class Model:
    """The windowed rules with the options, one event at a time."""

    def __init__(self, watermark, lateness, align, late_side, horizon):
        self.watermark, self.lateness, self.align = watermark, lateness, align
        self.late_side, self.horizon = late_side, horizon
        self.newest = None
        self.gen_start = None
        self.ids, self.previous = set(), set()
        self.windows = {}
        self.late = []

    def offer(self, event):
        t = event["timestamp"]
        if self.horizon is not None and self.newest is not None:
            if self.gen_start is None:
                self.gen_start = self.newest
            elif self.newest > self.gen_start and self.newest - self.gen_start > self.horizon:
                self.previous, self.ids = self.ids, set()
                self.gen_start = self.newest
        key = str(event["id"])
        if key in self.ids or key in self.previous:
            return
        self.ids.add(key)
        self.newest = t if self.newest is None else max(self.newest, t)
        if t + self.lateness < self.newest - self.watermark:
            if self.late_side:
                self.late.append(event)
            return
        origin = self.align or 0
        start = origin + (t - origin) // W_MS * W_MS
        window = self.windows.setdefault((start, event["g"]), [0.0, 0])
        window[0] += event["v"]
        window[1] += 1

    def close(self, everything=False):
        bound = None if self.newest is None else self.newest - self.watermark - self.lateness
        done = sorted((k for k in self.windows if everything or (bound is not None and k[0] + W_MS <= bound)),
                      key=lambda k: f"{k[0]}|{k[1]}".encode())
        return [(s, s + W_MS, g, self.windows[s, g][0] / self.windows[s, g][1], self.windows.pop((s, g))[1])
                for s, g in done]

    def restored(self):
        # A restored state keeps its ids in one generation.
        self.ids |= self.previous
        self.previous = set()


def _rows(columns):
    if columns is None:
        return []
    return list(zip(columns["window_start"], columns["window_end"], columns["g"], columns["mean_v"],
                    columns["count"], strict=True))


@pytest.mark.parametrize("seed", range(12))
def test_options_match_the_model_across_pulls_and_checkpoints(manual, tmp_path, seed):
    rng = random.Random(seed)
    watermark, lateness = rng.choice([0, 50, 300]), rng.choice([0, 100])
    align = rng.choice([None, 0, 137])
    late_side = rng.random() < 0.5
    horizon = rng.choice([None, watermark + lateness, watermark + lateness + 400])
    plan = _plan(watermark_ms=watermark, allowed_lateness_ms=lateness, align=None if align is None else align,
                 late="side" if late_side else None, dedup_horizon_ms=horizon)
    model = Model(watermark, lateness, align, late_side, horizon)
    stream = manual(batch_size=64, linger_ms=10**9, capacity=100_000)
    got, want, late = [], [], []
    t = 10_000
    for step in range(40):
        n = rng.randint(0, 30)
        events = []
        for _ in range(n):
            t += rng.randint(0, 40)
            when = t - rng.choice([0, 0, 0, 200, 700, 2000])  # some out of order, some late
            ident = rng.randint(0, 3000) if rng.random() < 0.3 else rng.randint(0, 10**9)
            events.append({"timestamp": when, "id": ident, "g": rng.choice("ab"), "v": float(rng.randint(0, 9))})
        if events:
            stream.emit_columns({k: [e[k] for e in events] for k in events[0]})
        for e in events:
            model.offer(e)
        got += _rows(ravik.pull(stream, plan, flush=False))
        want += model.close()
        late += [(e["timestamp"], e["id"]) for e in model.late]
        model.late.clear()
        kept = ravik.late_events(stream, arrow=step % 2 == 1)
        if kept is not None and step % 2 == 1:
            kept = pyarrow.table(kept).to_pydict()
        if kept is not None:
            assert list(zip(kept["timestamp"], kept["id"], strict=True)) == late
        assert (kept is None) == (late == [])
        late = []
        if step % 13 == 12:
            path = tmp_path / f"{step}.ckpt"
            stream.save_checkpoint(path)
            stream = manual(batch_size=64, linger_ms=10**9, capacity=100_000)
            stream.load_checkpoint(path)
            model.restored()
            text = path.read_text()
            assert ("extension\tid_generation_start\t" in text) == (horizon is not None and model.gen_start is not None)
    stream.close()
    got += _rows(ravik.pull(stream, plan))
    want += model.close(everything=True)
    assert got == want


@pytest.mark.parametrize(
    "options, error",
    [
        ({"align": "first"}, TypeError),
        ({"align": 1.5}, TypeError),
        ({"late": "keep"}, ValueError),
        ({"late": "side", "drop_late": False}, ValueError),
        ({"idle_close_ms": 0}, ValueError),
        ({"dedup_horizon_ms": 999, "watermark_ms": 1000}, ValueError),
    ],
    ids=["align-text", "align-float", "late-keep", "side-and-keep", "idle-zero", "horizon-below-watermark"],
)
def test_plan_refuses_options_that_do_not_fit(options, error):
    with pytest.raises(error):
        _plan(**options)
    with pytest.raises(ValueError, match="needs event_id_field"):
        ravik.plan(window_seconds=1, mean="v", dedup_horizon_ms=5)


def test_contract_methods_refuse_a_plan_with_options_and_plain_plans_stay_as_they_were(manual):
    assert "options" not in ravik.plan(window_seconds=1, mean="v")
    stream = manual()
    for call in (lambda p: stream.next_batch(p, 0), lambda p: stream.aggregate_columns({}, p)):
        with pytest.raises(ValueError, match="ravik.pull, ravik.batches"):
            call(_plan(align="epoch"))


def test_idle_closing_follows_the_stream_clock(manual):
    stream = manual(batch_size=64, linger_ms=10**9, capacity=1000)
    plan = _plan(watermark_ms=200, idle_close_ms=500)
    _native.set_clock(stream, 50_000)
    stream.emit_columns({"timestamp": [10_100, 10_900], "id": [1, 2], "g": ["a", "a"], "v": [1.0, 3.0]})
    batch, wake_in = _native.pull(stream, plan, True, True, False)
    # [10 s, 11 s) closes once 10,900 + idle - 200 reaches 11,000: idle 300,
    # but idleness counts from 500 ms on.
    assert batch is None and wake_in == 500
    _native.set_clock(stream, 50_499)
    assert _native.pull(stream, plan, True, True, False) == (None, 1)
    _native.set_clock(stream, 50_500)
    batch, wake_in = _native.pull(stream, plan, True, True, False)
    assert _rows(batch) == [(10_000, 11_000, "a", 2.0, 2)] and wake_in is None
    d = ravik.diagnostics(stream)
    assert (d["newest_event_time"], d["watermark"], d["lag_ms"]) == (10_900, 11_200, 50_500 - 11_200)
    # The advanced time makes older events late, so a closed window never reopens.
    stream.emit_columns({"timestamp": [10_950], "id": [3], "g": ["a"], "v": [5.0]})
    assert _native.pull(stream, plan, True, True, False)[0] is None
    assert stream.stats()["late_events"] == 1


def test_a_consumer_that_stops_pulling_holds_a_bounded_backlog():
    stream = ravik.udp_stream("127.0.0.1", 0, batch_size=16, linger_ms=1, capacity=10_000, max_pending=50)
    sender = Sender(stream.address())
    try:
        for i in range(400):
            sender.send(b'{"i": %d}' % i)
        wait_for(lambda: stream.stats()["ingested"] + ravik.diagnostics(stream)["kernel_dropped"] >= 400)
        wait_for(lambda: stream.stats()["microbatches_emitted"] > 0 and ravik.diagnostics(stream)["pending_dropped"] > 0)
    finally:
        sender.close()
        stream.close()
    out = 0
    for batch in ravik.batches(stream, ravik.plan(), timeout_ms=0):
        out += len(batch["i"])
    stats, d = stream.stats(), ravik.diagnostics(stream)
    assert stats["ingested"] == out + stats["dropped"] + d["pending_dropped"]


def test_listener_closes_quiet_windows_and_writes_late_events(tmp_path):
    out, late = tmp_path / "windows.jsonl", tmp_path / "late.jsonl"
    listen = subprocess.Popen(
        ravik_command("listen", "--port", "0", "--window", "1", "--mean", "v", "--watermark-ms", "0",
                      "--idle-close-ms", "200", "--late-output", str(late), "--output", str(out), "--no-status"),
        stderr=subprocess.PIPE, text=True)
    try:
        header = listen.stderr.readline()
        assert "windows aligned to the epoch" in header and "closing after 200 ms idle" in header
        port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", header).group(1))
        now = time.time_ns() // 1_000_000
        sender = Sender(("127.0.0.1", port))
        for t, v in ((now, 1), (now + 1, 3), (now - 5_000, 9)):
            sender.send(json.dumps({"timestamp": t, "v": v}).encode())
        sender.close()
        # The sender stays quiet: its window comes out while the listener runs.
        assert wait_for(lambda: out.exists() and out.read_text().count("\n") == 1)
        assert wait_for(lambda: late.exists() and late.read_text().count("\n") == 1)
        listen.send_signal(signal.SIGINT)
        _, err = listen.communicate(timeout=20)
    finally:
        listen.kill()
    assert listen.returncode == 0, err
    [row] = [json.loads(line) for line in out.read_text().splitlines()]
    assert row["window_start"] % 1000 == 0 and (row["count"], row["mean_v"]) == (2, 2.0)
    assert [json.loads(line)["v"] for line in late.read_text().splitlines()] == [9]
