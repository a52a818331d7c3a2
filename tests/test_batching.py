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


# --- the bounded queue and its drop rule -------------------------------------


def test_single_offers_beyond_capacity_drop_the_newest(manual):
    s = manual(batch_size=64, linger_ms=NEVER, capacity=2)
    emit(s, range(3))
    assert counters(s, "ingested", "dropped") == (3, 1)
    s.close()
    assert pull(s) == [0, 1]


def test_column_offer_beyond_capacity_drops_the_tail(manual):
    s = manual(batch_size=64, linger_ms=NEVER, capacity=3)
    s.emit_columns({"i": [0, 1, 2, 3, 4]})
    assert counters(s, "ingested", "dropped") == (5, 2)
    s.close()
    assert pull(s) == [0, 1, 2]


def test_column_offer_fills_only_the_room_left(manual):
    s = manual(batch_size=64, linger_ms=NEVER, capacity=3)
    emit(s, [10])
    s.emit_columns({"i": [0, 1, 2]})
    assert counters(s, "ingested", "dropped") == (4, 1)
    emit(s, [11])
    assert counters(s, "ingested", "dropped") == (5, 2)
    s.close()
    assert pull(s) == [10, 0, 1]


@pytest.mark.parametrize("columns", [{}, {"i": []}], ids=["no-columns", "empty-column"])
def test_empty_column_offer_changes_no_counter(manual, columns):
    s = manual(batch_size=64, linger_ms=NEVER, capacity=3)
    before = s.stats()
    s.emit_columns(columns)
    assert s.stats() == before


def test_room_freed_by_a_cut_is_reused(manual):
    s = manual(batch_size=2, linger_ms=100, capacity=2)
    emit(s, [0, 1, 2])  # 2 is dropped: the queue is full
    assert counters(s, "dropped") == (1,)
    wait_until(lambda: s.stats()["microbatches_emitted"] == 1)
    emit(s, [3, 4])
    assert counters(s, "ingested", "dropped") == (5, 1)
    got = []
    wait_until(lambda: got.extend(pull(s, 20) or []) or len(got) == 4)
    assert got == [0, 1, 3, 4]
