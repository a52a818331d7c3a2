"""Many threads on one stream: producers, pullers, a stats and checkpoint
thread and a close at a random moment, round after round, with every event
accounted for exactly.

Accounting for a pass-through plan: every event offered is counted in
`ingested` and ends in exactly one of three places: dropped by the full queue
(`dropped`), returned by next_batch once (`output_rows`), or still queued when
the stream closed and never batched. The worker's final cut takes everything
queued at that moment; what stays queued was offered after the final cut. Its number is measured, not derived:
a single emit_columns of `capacity` rows onto the closed, drained stream keeps
exactly the free room and drops the rest, so its `dropped` increase is the
number of rows already queued."""

import faulthandler
import random
import threading
import time

import pytest

import _ravik

PLAN = {
    "filters": [],
    "select": None,
    "window": None,
    "mean": None,
    "watermark_ms": None,
    "allowed_lateness_ms": None,
    "event_id_field": None,
    "drop_late": False,  # no event is dropped as late, whatever its time
}
ROUNDS = 200
TIME_BUDGET_S = 25.0  # fewer rounds when a round is slow (a sanitizer build)
MIN_ROUNDS = 5
PRODUCERS = 8
PULLERS = 2
EVENTS_PER_PRODUCER = 250
ROUND_DEADLINE_S = 30.0  # a round still running then is a deadlock
COUNTERS = ("ingested", "dropped", "microbatches_emitted", "output_batches", "output_rows",
            "duplicate_events", "late_events", "checkpoint_saves", "checkpoint_loads")


class Round:
    """One stream, its threads and the record of what each thread did."""

    def __init__(self, number, rng, tmp_path):
        self.rng = rng
        # Small capacities make the queue overflow; the largest holds every
        # event of the round, so nothing may be dropped at all.
        self.capacity = rng.choice([16, 128, 1024, PRODUCERS * EVENTS_PER_PRODUCER])
        self.batch_size = self.capacity + rng.choice([0, 1, 1000])
        self.linger_ms = rng.choice([0, 0, 1, 3])
        self.stream = _ravik.NativeStream.manual(self.batch_size, self.linger_ms, self.capacity)
        # The close comes from one producer, after a random number of its own
        # offers: a thread that slept until a random time would need the
        # interpreter lock to wake, and under this load it gets it late.
        self.closing_producer = rng.randrange(PRODUCERS)
        self.close_after_offers = rng.randrange(40)
        self.checkpoint = tmp_path / f"round-{number}.ckpt"
        self.close_started = threading.Event()
        self.close_done = threading.Event()
        self.stop_pulling = threading.Event()
        # Pulls are recorded in the order they were made: a pull and its
        # record happen under this lock.
        self.pull_lock = threading.Lock()
        self.pulled = []             # lists of ids, one per non-None result
        self.offered = {}            # producer -> ids in offer order
        self.certain = []            # ids whose emit returned before close began
        self.after_close = []        # ids whose emit began after close returned
        self.saves = 0
        self.loads = 0
        self.errors = []

    # -- threads -----------------------------------------------------------

    def producer(self, p):
        rng = random.Random(self.rng.random())
        ids = [p * 1_000_000 + k for k in range(EVENTS_PER_PRODUCER)]
        self.offered[p] = ids
        i = 0
        offers = 0
        while i < len(ids):
            if p == self.closing_producer and offers == self.close_after_offers:
                self.close()
            offers += 1
            n = rng.choice([1, 1, 2, 5, 17])
            chunk = ids[i:i + n]
            i += len(chunk)
            began_after_close = self.close_done.is_set()
            if len(chunk) == 1 and rng.random() < 0.5:
                self.stream.emit_json({"id": chunk[0], "timestamp": chunk[0]})
            else:
                self.stream.emit_columns({"id": chunk, "timestamp": chunk})
            if not self.close_started.is_set():
                self.certain.extend(chunk)
            if began_after_close:
                self.after_close.extend(chunk)
            if rng.random() < 0.05:
                time.sleep(0)
        if p == self.closing_producer and not self.close_started.is_set():
            self.close()

    def puller(self):
        while not self.stop_pulling.is_set():
            with self.pull_lock:
                # A short wait: next_batch keeps the interpreter lock while it waits.
                b = self.stream.next_batch(PLAN, 2)
                if b is not None:
                    self.pulled.append(b["id"])

    def stats_and_checkpoints(self):
        last = dict.fromkeys(COUNTERS, 0)
        k = 0
        while not self.stop_pulling.is_set():
            st = self.stream.stats()
            for name in COUNTERS:
                assert st[name] >= last[name], (name, st[name], last[name])
            last = st
            self.stream.is_closed()
            if k % 4 == 0:
                self.stream.save_checkpoint(str(self.checkpoint))
                self.saves += 1
            elif k % 4 == 2:
                self.stream.load_checkpoint(str(self.checkpoint))
                self.loads += 1
            k += 1
            time.sleep(0.0005)

    def close(self):
        self.close_started.set()
        self.stream.close()
        self.close_done.set()

    # -- running and checking ------------------------------------------------

    def run(self):
        def guarded(fn, *args):
            def body():
                try:
                    fn(*args)
                except BaseException as e:  # noqa: BLE001 - re-raised in the test's thread
                    self.errors.append(e)
                    self.stop_pulling.set()
            return threading.Thread(target=body, daemon=True)

        producers = [guarded(self.producer, p) for p in range(PRODUCERS)]
        others = [guarded(self.puller) for _ in range(PULLERS)] + [guarded(self.stats_and_checkpoints)]
        deadline = time.monotonic() + ROUND_DEADLINE_S
        for t in others + producers:
            t.start()
        for t in producers:
            t.join(max(0.0, deadline - time.monotonic()))
        self.stop_pulling.set()
        for t in others:
            t.join(max(0.0, deadline - time.monotonic()))
        if self.errors:
            raise self.errors[0]
        alive = [t for t in producers + others if t.is_alive()]
        assert not alive, f"{len(alive)} threads still running after {ROUND_DEADLINE_S} s: deadlock"

    def drain_and_check(self):
        s = self.stream
        assert s.is_closed()
        # Closed: next_batch never waits; everything cut comes out, then None.
        for _ in range(10_000):
            b = s.next_batch(PLAN, 1000)
            if b is None:
                break
            self.pulled.append(b["id"])
        assert s.next_batch(PLAN, 0) is None
        st = s.stats()

        # Still queued: emit `capacity` rows; the queue keeps only its free room.
        s.emit_columns({"probe": range(self.capacity)})
        still_queued = s.stats()["dropped"] - st["dropped"]

        out = [i for ids in self.pulled for i in ids]
        offered = [i for ids in self.offered.values() for i in ids]
        assert st["ingested"] == len(offered)
        assert st["output_rows"] == len(out)
        assert st["output_batches"] == len(self.pulled)
        assert st["checkpoint_saves"] == self.saves and st["checkpoint_loads"] == self.loads
        assert len(set(out)) == len(out), "an event came out twice"
        assert set(out) <= set(offered), "an event came out that nobody offered"
        assert not set(out) & set(self.after_close), "an event offered after close came out"
        assert st["ingested"] == st["dropped"] + st["output_rows"] + still_queued, (st, still_queued)
        if self.capacity >= len(offered):
            # The queue could never fill: nothing dropped, and every event
            # queued before close began came out.
            assert st["dropped"] == 0
            assert set(self.certain) <= set(out), "an event queued before close was lost"
        # Queue order is kept through batches and pulls, producer by producer.
        for p in self.offered:
            mine = [i for i in out if i // 1_000_000 == p]
            assert mine == sorted(mine), f"producer {p}'s events came out of order"
        return len(offered), len(out), st["dropped"], still_queued


@pytest.mark.concurrency
def test_threads_hammer_one_stream_and_every_event_is_accounted_for(tmp_path, record_property):
    rng = random.Random(20240601)
    # Backstop for a hang that holds the interpreter lock (no Python-level
    # watchdog could run then): dump every thread's stack and end the run.
    faulthandler.dump_traceback_later(ROUND_DEADLINE_S * 4, exit=True)
    try:
        totals = [0, 0, 0, 0]
        rounds = 0
        started = time.monotonic()
        while rounds < ROUNDS and (rounds < MIN_ROUNDS or time.monotonic() - started < TIME_BUDGET_S):
            r = Round(rounds, rng, tmp_path)
            r.run()
            for k, v in enumerate(r.drain_and_check()):
                totals[k] += v
            r.stream.close()
            r.checkpoint.unlink(missing_ok=True)
            rounds += 1
            faulthandler.dump_traceback_later(ROUND_DEADLINE_S * 4, exit=True)
    finally:
        faulthandler.cancel_dump_traceback_later()
    offered, out, dropped, queued = totals
    for name, value in zip(("rounds", "events", "out", "dropped", "still_queued"), (rounds, *totals)):
        record_property(f"stress_{name}", value)
    print(f"\nstress: {rounds} rounds, {offered} events: {out} out, {dropped} dropped, {queued} still queued "
          f"at close, in {time.monotonic() - started:.1f} s")
    assert rounds >= MIN_ROUNDS
    assert offered == out + dropped + queued
    # The rounds exercised all three fates.
    assert out > 0 and dropped > 0 and queued > 0
