"""NativeStream creation, factory arguments, binding conventions and shutdown."""

import gc
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from _ravik import NativeStream
from conftest import make_plan, wait_until

NEVER = 2**64 - 1  # a linger that never elapses: the only cut is the one at close


def tasks():
    return set(os.listdir("/proc/self/task"))


def values(batch, field="i"):
    return None if batch is None else batch[field]


# --- factory arguments -------------------------------------------------------


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param((2, NEVER, 3), {}, id="positional"),
        pytest.param((), dict(capacity=3, batch_size=2, linger_ms=NEVER), id="keywords-reordered"),
        pytest.param((), dict(linger_ms=NEVER, capacity=3, batch_size=2), id="keywords-other-order"),
        pytest.param((2,), dict(capacity=3, linger_ms=NEVER), id="mixed"),
        pytest.param((Index(2), Index(NEVER), np.uint32(3)), {}, id="index-objects"),
    ],
)
def test_manual_arguments_mean_the_same_in_every_form(args, kwargs):
    s = NativeStream.manual(*args, **kwargs)
    try:
        for i in range(5):
            s.emit_json({"i": i})
        st = s.stats()
        assert (st["ingested"], st["dropped"]) == (5, 2)  # capacity 3
        assert s.next_batch(make_plan(), 30) is None  # the linger never elapses
        s.close()
        assert values(s.next_batch(make_plan(), 0)) == [0, 1, 2]  # the final cut takes all
        assert s.next_batch(make_plan(), 0) is None
    finally:
        s.close()


def test_manual_accepts_the_largest_values_of_each_parameter():
    s = NativeStream.manual(2**32 - 1, 2**64 - 1, 2**32 - 1)
    s.emit_json({"i": 1})
    s.close()
    assert values(s.next_batch(make_plan(), 0)) == [1]


def test_manual_accepts_bool_arguments():
    s = NativeStream.manual(True, False, True)  # batch 1, linger 0, capacity 1
    try:
        s.emit_json({"i": 1})
        s.emit_json({"i": 2})
        assert s.stats()["dropped"] == 1
    finally:
        s.close()


@pytest.mark.parametrize(
    "args, kwargs",
    [
        pytest.param((), {}, id="no-arguments"),
        pytest.param((64, 10), {}, id="capacity-missing"),
        pytest.param((64,), dict(capacity=10), id="linger-missing"),
        pytest.param((64, 10, 1024, 1), {}, id="extra-argument"),
        pytest.param((64, 10), dict(cap=1024), id="unknown-keyword"),
        pytest.param((64, 10, 1024), dict(batch_size=64), id="duplicate-keyword"),
        pytest.param((-1, 10, 1024), {}, id="negative-batch-size"),
        pytest.param((64, -1, 1024), {}, id="negative-linger"),
        pytest.param((64, 10, -1), {}, id="negative-capacity"),
        pytest.param((2**32, 10, 1024), {}, id="batch-size-2**32"),
        pytest.param((64, 10, 2**32), {}, id="capacity-2**32"),
        pytest.param((64, 2**64, 1024), {}, id="linger-2**64"),
        pytest.param((64, 1.5, 1024), {}, id="float-linger"),
        pytest.param((64.0, 10, 1024), {}, id="float-batch-size"),
        pytest.param(("64", 10, 1024), {}, id="str-batch-size"),
        pytest.param((64, None, 1024), {}, id="none-linger"),
    ],
)
def test_manual_refuses_bad_arguments_with_type_error(args, kwargs):
    with pytest.raises(TypeError, match=r"^manual\(\): incompatible function arguments"):
        NativeStream.manual(*args, **kwargs)


def test_zero_batch_size_behaves_as_one():
    s = NativeStream.manual(0, NEVER, 8)
    for i in range(3):
        s.emit_json({"i": i})
    s.close()
    assert values(s.next_batch(make_plan(), 0)) == [0, 1, 2]


def test_zero_capacity_behaves_as_one():
    s = NativeStream.manual(8, NEVER, 0)
    for i in range(3):
        s.emit_json({"i": i})
    st = s.stats()
    assert (st["ingested"], st["dropped"]) == (3, 2)
    s.close()
    assert values(s.next_batch(make_plan(), 0)) == [0]


def test_zero_linger_cuts_without_close():
    s = NativeStream.manual(0, 0, 0)
    try:
        s.emit_json({"i": 7})
        assert values(wait_until(lambda: s.next_batch(make_plan(), 20))) == [7]
        assert not s.is_closed()
    finally:
        s.close()


# --- the class and its instances ---------------------------------------------


def test_calling_the_class_raises_no_constructor_defined():
    with pytest.raises(TypeError) as excinfo:
        NativeStream()
    assert str(excinfo.value) == "_ravik.NativeStream: No constructor defined!"


@pytest.mark.parametrize(
    "make",
    [
        pytest.param(lambda: NativeStream.__new__(NativeStream), id="NativeStream.__new__"),
        pytest.param(lambda: object.__new__(NativeStream), id="object.__new__"),
        pytest.param(lambda: type("Sub", (NativeStream,), {})(), id="subclass-call"),
        pytest.param(
            lambda: NativeStream.__new__(type("Sub", (NativeStream,), {})), id="subclass-__new__"
        ),
    ],
)
def test_no_instance_without_a_stream_can_be_made(make):
    # An instance without a stream inside would run its methods on
    # uninitialised memory.
    with pytest.raises(TypeError):
        make()


def test_instances_have_no_attribute_dict(manual):
    s = manual()
    with pytest.raises(AttributeError):
        s.extra = 1
    with pytest.raises(AttributeError):
        s.__dict__


def test_address_of_a_manual_stream(manual):
    s = manual()
    first = s.address()
    second = s.address()
    assert first == ("manual", 0)
    assert type(first) is tuple and type(first[0]) is str and type(first[1]) is int
    assert first is not second  # a new tuple on every call
    s.close()
    assert s.address() == ("manual", 0)


def test_is_closed_before_and_after_close(manual):
    s = manual()
    assert s.is_closed() is False
    s.close()
    assert s.is_closed() is True


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda s: s.close(1), id="close-with-argument"),
        pytest.param(lambda s: s.is_closed(True), id="is_closed-with-argument"),
        pytest.param(lambda s: s.address(0), id="address-with-argument"),
    ],
)
def test_lifecycle_methods_refuse_bad_arguments(manual, call):
    s = manual()
    with pytest.raises(TypeError, match="incompatible function arguments"):
        call(s)
    assert not s.is_closed()


# --- shutdown ----------------------------------------------------------------


def test_close_twice_returns_at_once_the_second_time(manual):
    s = manual(4, NEVER, 16)
    for i in range(3):
        s.emit_json({"i": i})
    s.close()
    after_first = s.stats()
    s.close()
    assert s.is_closed()
    assert s.stats() == after_first
    assert after_first["microbatches_emitted"] == 1  # one final cut, not two
    assert values(s.next_batch(make_plan(), 0)) == [0, 1, 2]


def test_next_batch_on_a_closed_stream_does_not_wait(manual):
    s = manual(4, NEVER, 16)
    s.close()
    start = time.monotonic()
    assert s.next_batch(make_plan(), 5000) is None
    assert time.monotonic() - start < 2.5


def test_events_after_close_are_counted_but_never_appear(manual):
    s = manual(2, NEVER, 4)
    s.emit_json({"i": 0})
    s.close()
    s.emit_json({"i": 1})
    s.emit_columns({"i": [2, 3]})
    st = s.stats()
    assert (st["ingested"], st["dropped"], st["microbatches_emitted"]) == (4, 0, 1)
    assert values(s.next_batch(make_plan(), 0)) == [0]
    assert s.next_batch(make_plan(), 0) is None
    # Still queued, never batched: the queue fills up and drops.
    s.emit_json({"i": 4})
    s.emit_json({"i": 5})
    st = s.stats()
    assert (st["ingested"], st["dropped"], st["microbatches_emitted"]) == (6, 1, 1)
    assert s.next_batch(make_plan(), 0) is None


# A shutdown that is not serialised can deadlock (two joins of one thread)
# with the interpreter lock held, which no in-process timeout survives; these
# scenarios therefore run in a child interpreter under a deadline.
CONCURRENT_CLOSE_SCRIPT = r"""
import sys, threading
from _ravik import NativeStream

NEVER = 2**64 - 1
PLAN = dict(filters=[], select=None, window=None, mean=None, watermark_ms=None,
            allowed_lateness_ms=None, event_id_field=None, drop_late=None)


def both_at_once():
    s = NativeStream.manual(64, NEVER, 64)
    for i in range(3):
        s.emit_json({"i": i})
    barrier = threading.Barrier(2)
    seen, errors = [], []

    def closer():
        barrier.wait()
        try:
            s.close()
            # Whichever call returns, the worker has made its final cut and
            # is gone: the stream is Closed, not Closing.
            seen.append((s.is_closed(), s.stats()["microbatches_emitted"]))
        except BaseException as e:
            errors.append(repr(e))

    threads = [threading.Thread(target=closer) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == [], errors
    assert seen == [(True, 1), (True, 1)], seen
    assert s.next_batch(PLAN, 0)["i"] == [0, 1, 2]


def second_while_first_joins():
    rows = 20_000  # a long final cut keeps the first close() joining a while
    s = NativeStream.manual(rows, NEVER, rows)
    s.emit_columns({"i": list(range(rows))})
    errors = []

    def first():
        try:
            s.close()
        except BaseException as e:
            errors.append(repr(e))

    t = threading.Thread(target=first)
    t.start()
    # The first close() releases the interpreter lock while it shuts down;
    # catch the stream in that Closing state and close it again.
    while not s.is_closed():
        pass
    s.close()
    assert s.stats()["microbatches_emitted"] == 1, "close() returned before the final cut"
    t.join()
    assert errors == [], errors
    assert len(s.next_batch(PLAN, 0)["i"]) == rows


scenario = globals()[sys.argv[1]]
for _ in range(int(sys.argv[2])):
    scenario()
print("ok")
"""


@pytest.mark.parametrize(
    "scenario, rounds",
    [
        pytest.param("both_at_once", 25, id="two-threads-at-once"),
        pytest.param("second_while_first_joins", 10, id="second-while-first-joins"),
    ],
)
def test_concurrent_closes_all_return_once_the_stream_is_closed(scenario, rounds):
    try:
        proc = subprocess.run(
            [sys.executable, "-c", CONCURRENT_CLOSE_SCRIPT, scenario, str(rounds)],
            capture_output=True,
            text=True,
            timeout=30,
        )
    except subprocess.TimeoutExpired:
        pytest.fail("concurrent close() calls did not all return (deadlock)")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


def test_close_joins_the_worker_thread():
    before = tasks()
    s = NativeStream.manual(1, 1, 1)
    worker = tasks() - before
    assert len(worker) == 1
    s.close()
    wait_until(lambda: not (worker & tasks()))
    assert s.is_closed()


@pytest.mark.parametrize("closed_first", [False, True], ids=["open", "closed-first"])
def test_dropping_the_last_reference_ends_the_worker(closed_first):
    before = tasks()
    streams = [NativeStream.manual(4, NEVER, 8) for _ in range(4)]
    workers = tasks() - before
    assert len(workers) == 4
    for s in streams:
        s.emit_json({"i": 1})  # queued rows are destroyed with the stream
        if closed_first:
            s.close()
    del s
    del streams
    gc.collect()
    wait_until(lambda: not (workers & tasks()))


def test_dropping_the_last_reference_on_another_thread():
    before = tasks()
    box = [NativeStream.manual(4, NEVER, 8)]
    worker = tasks() - before
    assert len(worker) == 1
    t = threading.Thread(target=box.clear)
    t.start()
    t.join(timeout=10)
    assert not t.is_alive()
    wait_until(lambda: not (worker & tasks()))


@pytest.mark.concurrency
@pytest.mark.parametrize("windowed", [False, True], ids=["pass-through", "windowed"])
def test_close_from_another_thread_loses_nothing_and_emits_each_window_once(windowed):
    """A consumer in ravik.batches on one thread; events and then close() on
    another. The consumer gets every event once (each window once, whole),
    however the close falls between its pulls."""
    import ravik

    plan = make_plan(window={"seconds": 10, "by": None, "time_field": "timestamp"},
                     mean={"field": "v", "alias": "m"}, drop_late=False) if windowed else make_plan()
    for _ in range(30):
        s = NativeStream.manual(10_000, 10_000, 100_000)
        got = []
        consumer = threading.Thread(target=lambda: got.extend(ravik.batches(s, plan, timeout_ms=5)))
        consumer.start()
        s.emit_columns({"timestamp": list(range(100)), "v": [1.0] * 100})
        s.close()
        consumer.join(timeout=10)
        assert not consumer.is_alive(), "ravik.batches did not end after close()"
        if windowed:
            assert [(b["window_start"], b["count"]) for b in got] == [([0], [100])]
        else:
            assert sum(len(b["timestamp"]) for b in got) == 100
