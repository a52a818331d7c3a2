"""Shared fixtures and helpers for the ravik test suite."""

import time

import pytest

import _ravik

from plans import PLAN_KEYS, make_plan  # noqa: F401  (re-exported for the tests)


def wait_until(pred, timeout=5.0, interval=0.002):
    """Polls pred() until it returns a truthy value, which is returned.

    Fails the test when the deadline passes first.
    """
    deadline = time.monotonic() + timeout
    while True:
        value = pred()
        if value:
            return value
        if time.monotonic() >= deadline:
            pytest.fail(f"condition not met within {timeout} s: {pred!r}")
        time.sleep(interval)


def drain(stream, plan=None, timeout=5.0, expect_rows=None):
    """Pulls batches until expect_rows rows arrived (or, without expect_rows,
    until one non-None result); returns the list of column dicts pulled."""
    plan = make_plan() if plan is None else plan
    deadline = time.monotonic() + timeout
    out = []
    rows = 0
    while True:
        batch = stream.next_batch(plan, 20)
        if batch is not None:
            out.append(batch)
            rows += len(next(iter(batch.values())))
            if expect_rows is None or rows >= expect_rows:
                return out
        if time.monotonic() >= deadline:
            pytest.fail(f"expected {expect_rows} rows within {timeout} s, got {rows}")


@pytest.fixture
def plan():
    """Factory fixture: plan(**overrides) -> full plan dict."""
    return make_plan


@pytest.fixture
def manual():
    """Factory fixture: manual(batch_size=64, linger_ms=1, capacity=1024)
    makes a manual stream that is closed at teardown."""
    made = []

    def factory(batch_size=64, linger_ms=1, capacity=1024):
        stream = _ravik.NativeStream.manual(batch_size, linger_ms, capacity)
        made.append(stream)
        return stream

    yield factory
    for stream in made:
        stream.close()
