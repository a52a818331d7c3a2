"""The bounded event queue, the worker's batch cuts and their counters."""

import pytest

from conftest import make_plan, wait_until

NEVER = 2**64 - 1  # a linger that never elapses: the only cut is the one at close
PLAN = make_plan()


def counters(s, *names):
    st = s.stats()
    return tuple(st[n] for n in names)


def pull(s, timeout_ms=0):
    batch = s.next_batch(PLAN, timeout_ms)
    return None if batch is None else batch["i"]


def emit(s, values):
    for v in values:
        s.emit_json({"i": v})


# --- cuts by time and size ---------------------------------------------------


def test_one_cut_per_linger_period_of_at_most_batch_size(manual):
    s = manual(batch_size=2, linger_ms=100, capacity=64)
    emit(s, range(5))  # all queued well before the first period ends
    for cuts, expected in [(1, [0, 1]), (2, [2, 3]), (3, [4])]:
        wait_until(lambda: s.stats()["microbatches_emitted"] >= cuts)
        # The surplus waits for the next period: no earlier or second cut.
        assert s.stats()["microbatches_emitted"] == cuts
        assert pull(s) == expected
    # Later periods find the queue empty: no batch, no count.
    assert pull(s, 250) is None
    assert counters(s, "microbatches_emitted", "ingested", "output_rows") == (3, 5, 5)


@pytest.mark.parametrize(
    "linger_ms",
    [
        pytest.param(10**9, id="1e9"),
        pytest.param(9_223_372_036_854, id="largest-in-ns-range"),
        pytest.param(9_223_372_036_855, id="first-beyond-ns-range"),
        pytest.param(2**63, id="2**63"),
        pytest.param(2**64 - 1, id="2**64-1"),
    ],
)
def test_huge_linger_cuts_only_at_close(manual, linger_ms):
    s = manual(batch_size=64, linger_ms=linger_ms, capacity=64)
    emit(s, range(3))
    assert pull(s, 60) is None
    assert counters(s, "microbatches_emitted") == (0,)
    s.close()
    assert pull(s) == [0, 1, 2]
    assert counters(s, "microbatches_emitted") == (1,)


def test_zero_linger_cuts_on_every_turn(manual):
    s = manual(batch_size=1, linger_ms=0, capacity=64)
    emit(s, range(3))
    wait_until(lambda: s.stats()["microbatches_emitted"] == 3)
    assert pull(s) == [0, 1, 2]  # three ready batches of one row, in cut order


@pytest.mark.parametrize(
    "linger_ms, close_first",
    [pytest.param(100, False, id="worker-cut"), pytest.param(NEVER, True, id="final-cut")],
)
def test_largest_batch_size_reserves_only_what_is_queued(manual, linger_ms, close_first):
    s = manual(batch_size=2**32 - 1, linger_ms=linger_ms, capacity=16)
    emit(s, range(3))
    if close_first:
        s.close()
    else:
        wait_until(lambda: s.stats()["microbatches_emitted"] == 1)
    assert pull(s) == [0, 1, 2]
    assert counters(s, "microbatches_emitted") == (1,)
    # The worker is still serving after the cut.
    if not close_first:
        emit(s, [3])
        assert wait_until(lambda: pull(s, 20)) == [3]


def test_no_batch_is_counted_while_nothing_is_queued(manual):
    s = manual(batch_size=1, linger_ms=0, capacity=8)
    assert pull(s, 50) is None  # some fifty turns, each cutting nothing
    assert counters(s, "microbatches_emitted") == (0,)
    emit(s, [1])
    wait_until(lambda: s.stats()["microbatches_emitted"] == 1)
    assert pull(s, 50) == [1]
    assert pull(s, 30) is None
    assert counters(s, "microbatches_emitted") == (1,)


# --- the bounded queue (its drop rule: tests/engine) --------------------------


@pytest.mark.parametrize("columns", [{}, {"i": []}], ids=["no-columns", "empty-column"])
def test_empty_column_offer_changes_no_counter(manual, columns):
    s = manual(batch_size=64, linger_ms=NEVER, capacity=3)
    before = s.stats()
    s.emit_columns(columns)
    assert s.stats() == before
