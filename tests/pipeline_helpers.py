"""Shared helpers for the pipeline tests: plan builders and ways of getting
events through a stream into exactly one next_batch call."""

import subprocess
import sys
import textwrap
import time

from _ravik import NativeStream
from plans import PLAN_KEYS, make_plan  # noqa: F401

# A linger this long means the worker never cuts on its own: the only cut is
# the final one at close(), which takes every queued event.
NEVER_MS = 10**9
BIG = 1 << 20

STATS_KEYS = [
    "checkpoint_loads",
    "checkpoint_saves",
    "dropped",
    "duplicate_events",
    "ingested",
    "late_events",
    "microbatches_emitted",
    "open_windows",
    "output_batches",
    "output_rows",
    "seen_event_ids",
]


def full_plan(**overrides):
    """A plan dict holding all eight keys, None (or no filters) unless overridden."""
    return make_plan(**overrides)


def window(seconds, by=None, time_field="timestamp"):
    return {"seconds": seconds, "by": by, "time_field": time_field}


def mean(field="v", alias="avg"):
    return {"field": field, "alias": alias}


def flt(field, op, value):
    return {"field": field, "op": op, "value": value}


def windowed_plan(seconds=1, by=None, field="v", alias="avg", time_field="timestamp", **overrides):
    return full_plan(window=window(seconds, by, time_field), mean=mean(field, alias), **overrides)


def wait_for(predicate, timeout_s=5.0, what="condition"):
    deadline = time.monotonic() + timeout_s
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        time.sleep(0.001)


def closed_stream(events=(), columns=None):
    """A manual stream holding the given events (dicts, emitted one by one,
    then an optional column dict) in its final batch, already closed."""
    s = NativeStream.manual(BIG, NEVER_MS, BIG)
    for event in events:
        s.emit_json(event)
    if columns is not None:
        s.emit_columns(columns)
    s.close()
    return s


def run_closed(events=(), plan=None, columns=None):
    """Runs the events through one next_batch call on a closed stream; the
    events all arrive in the single final batch. Returns (result, stream)."""
    s = closed_stream(events, columns)
    result = s.next_batch(full_plan() if plan is None else plan, 0)
    return result, s


class Feeder:
    """An open manual stream that cuts on every worker turn. feed() queues a
    column dict with one offer, waits until the worker has cut it (one cut
    takes all of it), then runs one next_batch call."""

    def __init__(self, batch_size=BIG):
        self.stream = NativeStream.manual(batch_size, 0, BIG)

    def feed(self, plan, columns=None, events=None):
        s = self.stream
        if events is not None:
            assert columns is None
            columns = columns_of(events)
        before = s.stats()["microbatches_emitted"]
        s.emit_columns(columns)
        wait_for(lambda: s.stats()["microbatches_emitted"] > before, what="a batch cut")
        return s.next_batch(plan, 0)

    def pull(self, plan):
        """A next_batch call that takes nothing new."""
        return self.stream.next_batch(plan, 0)

    def close(self):
        self.stream.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def columns_of(events):
    """A column dict from event dicts that all have the same keys."""
    events = list(events)
    assert events
    keys = list(events[0])
    assert all(list(e) == keys for e in events), "events must share their keys"
    return {k: [e[k] for e in events] for k in keys}


def typed(column):
    """A column's values with their exact Python types (True and 1 differ)."""
    return [(type(v).__name__, v) for v in column]


def rows_of(result, *names):
    """The result column dict as a list of tuples of the named fields."""
    assert result is not None
    return list(zip(*(result[n] for n in names)))


def run_script(body, timeout_s=30.0):
    """Runs Python code in a fresh interpreter (for calls that could block
    forever with the interpreter lock held); returns its stdout."""
    code = "from _ravik import NativeStream\n" + textwrap.dedent(body)
    proc = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout_s
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout
