"""Faults a stream must survive: a fork, a close while another thread waits,
interpreter exit with live streams and workers, a consumer that stops pulling
while a UDP sender floods.

Scenarios that could hang or kill the interpreter run in a child process under
a timeout, so that a fault fails its test instead of the whole run."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import pytest
from plans import make_plan

import _ravik

PLAN = make_plan(drop_late=False)
CHILD_TIMEOUT_S = 60

# Shared by the child scripts: the pass-through plan and a plan that rejects
# every event (pulling with it consumes ready batches without building output).
PRELUDE = textwrap.dedent("""
    import os, random, signal, socket, sys, threading, time
    import _ravik
    PLAN = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
            "allowed_lateness_ms": None, "event_id_field": None, "drop_late": False}
    REJECT_ALL = dict(PLAN, filters=[{"field": "nothing", "op": "==", "value": 1}])
""")


def run_child(script, *args, timeout=CHILD_TIMEOUT_S):
    """Runs PRELUDE + script in a fresh interpreter; a hang fails the test."""
    # os.fork() in a process with threads warns; the scripts fork on purpose.
    cmd = [sys.executable, "-W", "ignore::DeprecationWarning", "-c", PRELUDE + textwrap.dedent(script),
           *map(str, args)]
    try:
        return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"child interpreter hung for {timeout} s; output so far: {e.stdout!r} {e.stderr!r}")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


# ---------------------------------------------------------------------------
# fork

FORK_SCRIPT = """
    import numpy as np
    finish, forks, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    rng = random.Random(seed)
    # Each emit queues 100,000 rows; the worker moves them into one batch
    # within a millisecond or so, holding the queue lock for the whole move.
    # The forks land in and around those moves (without the fork handlers,
    # about 4 children in 10 then find the lock held forever).
    busy = _ravik.NativeStream.manual(200_000, 0, 200_000)
    udp = _ravik.NativeStream.udp("127.0.0.1", 0, 1000, 0, 100_000)
    streams = [busy, udp]
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    column = {"x": np.arange(100_000, dtype=np.int64)}

    def in_child():
        signal.alarm(20)  # default action ends a child that hangs on a lock
        for s in streams:
            # No worker thread was copied: the child sees every stream closed.
            assert s.is_closed(), "stream open in the child"
            before = s.stats()
            s.emit_json({"child": 1})
            s.emit_columns({"child": [1, 2]})
            after = s.stats()
            assert after["ingested"] == before["ingested"] + 3, (before, after)
            t0 = time.monotonic()
            s.next_batch(REJECT_ALL, 60_000)  # closed: takes what is ready, never waits
            assert s.next_batch(PLAN, 60_000) is None
            assert time.monotonic() - t0 < 10, "next_batch waited in the child"
            s.aggregate_columns({"v": [1.0]}, PLAN)
        if finish == "close":
            for s in streams:
                s.close()
                s.close()
                assert s.is_closed()
        elif finish == "drop":
            streams.clear()
        # "exit": interpreter shutdown in the child destroys the open streams.
        sys.exit(0)

    statuses = []
    for k in range(forks):
        busy.emit_columns(column)
        sender.sendto(b'{"k": %d}' % k, udp.address())
        end = time.perf_counter() + rng.uniform(0, 0.002)
        while time.perf_counter() < end:
            pass
        pid = os.fork()
        if pid == 0:
            try:
                in_child()
            except SystemExit:
                raise
            except BaseException as e:
                print("child failed:", repr(e), file=sys.stderr)
                os._exit(1)
        deadline = time.monotonic() + 30
        while True:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                statuses.append(status)
                break
            if time.monotonic() > deadline:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                statuses.append("hung")
                break
            time.sleep(0.001)
        busy.next_batch(REJECT_ALL, 0)  # one pull takes every ready batch

    # The parent's streams are untouched by the forks.
    busy.emit_json({"parent": 1})
    sender.sendto(b'{"parent": 1}', udp.address())
    for s in streams:
        deadline = time.monotonic() + 10
        rows = []
        while time.monotonic() < deadline and 1 not in rows:
            b = s.next_batch(PLAN, 20)
            if b and "parent" in b:
                rows += b["parent"]
        assert 1 in rows, "parent stream stopped working after the forks"
        assert not s.is_closed()
        s.close()
    print("statuses", statuses)
    bad = [s for s in statuses if s != 0]
    sys.exit(1 if bad else 0)
"""


@pytest.mark.concurrency
@pytest.mark.skipif(os.environ.get("RAVIK_SANITIZER") == "thread",
                    reason="ThreadSanitizer does not support fork() of a process with running threads: "
                           "a child can hang inside its runtime (the normal and ASan passes run this)")
@pytest.mark.parametrize("finish", ["close", "drop", "exit"])
def test_streams_survive_fork_in_the_child_and_the_parent(finish):
    forks = 12
    done = run_child(FORK_SCRIPT, finish, forks, 1234)
    assert done.returncode == 0, (done.stdout, done.stderr)
    assert f"statuses {[0] * forks}" in done.stdout


# ---------------------------------------------------------------------------
# close while another thread waits in next_batch


def run_threads(targets, deadline_s=20.0):
    """Runs each target on its own daemon thread; re-raises the first error
    here and fails when a thread is still running at the deadline."""
    errors = []

    def wrap(fn):
        def body():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - re-raised in the test's thread
                errors.append(e)
        return body

    threads = [threading.Thread(target=wrap(fn), daemon=True) for fn in targets]
    for t in threads:
        t.start()
    end = time.monotonic() + deadline_s
    for t in threads:
        t.join(max(0.0, end - time.monotonic()))
    alive = [t.name for t in threads if t.is_alive()]
    if errors:
        raise errors[0]
    assert not alive, f"threads still running after {deadline_s} s (deadlock?): {alive}"


@pytest.mark.concurrency
@pytest.mark.parametrize("kind", ["manual", "udp"])
@pytest.mark.parametrize("timeout_ms", [1, 50])
def test_close_while_another_thread_waits_in_next_batch(kind, timeout_ms):
    """The waiter holds the interpreter lock, so close() can only begin once a
    wait has ended (at its deadline or at a worker notification); a wait that
    begins while close() has released the lock ends at close's notification.
    Either way every call returns, close() returns, and the stream ends Closed."""
    for _ in range(15):
        s = (_ravik.NativeStream.manual(100, 1, 1000) if kind == "manual"
             else _ravik.NativeStream.udp("127.0.0.1", 0, 100, 1, 1000))
        s.emit_json({"a": 1})
        waiting = threading.Event()
        closed = threading.Event()
        calls = []

        def waiter():
            while True:
                was_closed = closed.is_set()
                waiting.set()
                t0 = time.monotonic()
                s.next_batch(PLAN, timeout_ms)
                calls.append(time.monotonic() - t0)
                if was_closed:
                    return

        def closer():
            waiting.wait(10)
            s.close()
            closed.set()

        run_threads([waiter, closer])
        assert s.is_closed()
        # A call on the closed stream returns at once with nothing left.
        assert s.next_batch(PLAN, 60_000) is None
        # No single wait went on for long past its own deadline.
        assert max(calls) < timeout_ms / 1000 + 5.0, max(calls)


def test_unbounded_wait_ends_at_the_first_worker_cut():
    """timeout_ms of 2**64 - 1 waits without a deadline; the worker's cut of
    the queued event ends it (the call would otherwise hang the child)."""
    done = run_child("""
        s = _ravik.NativeStream.manual(10, 20, 100)
        s.emit_json({"a": 1})
        got = s.next_batch(PLAN, 2**64 - 1)
        assert got is not None and got["a"] == [1], got
        s.close()
        print("ok")
    """, timeout=30)
    assert done.returncode == 0 and done.stdout.strip() == "ok", (done.stdout, done.stderr)


def test_unbounded_wait_on_udp_ends_at_a_datagram():
    """The waiter holds the interpreter lock: only a datagram from another
    process (or a cut) can end its wait."""
    done = run_child("""
        s = _ravik.NativeStream.udp("127.0.0.1", 0, 10, 60_000, 100)
        host, port = s.address()
        code = "import socket,time; time.sleep(0.2); socket.socket(2, 2).sendto(b'{\\"u\\": 7}', (%r, %d))"
        import subprocess
        p = subprocess.Popen([sys.executable, "-c", code % (host, port)])
        got = s.next_batch(PLAN, 2**64 - 1)   # ends at the datagram; no batch is cut yet (60 s linger)
        p.wait()
        assert got is None, got
        assert s.stats()["ingested"] == 1
        s.close()
        assert s.next_batch(PLAN, 0)["u"] == [7]   # the final cut at close
        print("ok")
    """, timeout=30)
    assert done.returncode == 0 and done.stdout.strip() == "ok", (done.stdout, done.stderr)


# ---------------------------------------------------------------------------
# interpreter exit with open streams and running workers

EXIT_SCRIPTS = {
    # Globals, locals of a frame, and streams in a reference cycle that only the
    # collector at shutdown frees; events queued, batches ready, none pulled.
    "main-thread-exits-with-open-streams": """
        import gc
        streams = [_ravik.NativeStream.manual(10, 0, 1000) for _ in range(3)]
        udps = [_ravik.NativeStream.udp("127.0.0.1", 0, 10, 0, 1000) for _ in range(2)]
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for s in streams + udps:
            s.emit_json({"a": 1})
            s.emit_columns({"a": list(range(100))})
        for u in udps:
            for i in range(50):
                tx.sendto(b'{"i": %d}' % i, u.address())
        class Holder:
            pass
        h = Holder()
        h.me = h
        h.stream = _ravik.NativeStream.udp("127.0.0.1", 0, 10, 0, 1000)
        del h
        gc.disable()
        def keep():
            local = _ravik.NativeStream.manual(10, 0, 10)
            local.emit_json({"x": 1})
            sys.exit(0)   # the frame's local is destroyed during the exit
        keep()
    """,
    "daemon-thread-in-next_batch": """
        s = _ravik.NativeStream.udp("127.0.0.1", 0, 100, 0, 10_000)
        tx = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        pulling = threading.Event()
        def pull():
            while True:
                pulling.set()
                s.next_batch(PLAN, 5)
        threading.Thread(target=pull, daemon=True).start()
        pulling.wait()
        for i in range(200):
            tx.sendto(b'{"i": %d}' % i, s.address())
        time.sleep(0.05)
    """,
    # The thread owns its streams: they are never destroyed, so their workers
    # still run while the process ends.
    "daemon-thread-owns-running-streams": """
        started = threading.Event()
        def own():
            mine = [_ravik.NativeStream.udp("127.0.0.1", 0, 10, 0, 100), _ravik.NativeStream.manual(10, 0, 100)]
            for s in mine:
                s.emit_json({"a": 1})
            started.set()
            while True:
                for s in mine:
                    s.next_batch(PLAN, 2)
        threading.Thread(target=own, daemon=True).start()
        started.wait()
    """,
    # Daemon threads that close or drop streams, and one whose trade aggregation
    # runs without the interpreter lock, while the interpreter finalizes: the
    # lock cannot be taken back then, and the thread must neither terminate the
    # process nor unwind through the module.
    "daemon-threads-closing-and-aggregating": """
        import numpy as np
        n = 2_000_000
        ts = np.arange(n, dtype=np.int64)
        arrays = (ts, np.ones(n, np.uint8), ts % 100, np.ones(n))
        ready = threading.Barrier(4)
        def closer():
            ready.wait()
            while True:
                s = _ravik.NativeStream.udp("127.0.0.1", 0, 10, 0, 100)
                s.emit_json({"a": 1})
                s.close()
        def dropper():
            ready.wait()
            while True:
                s = _ravik.NativeStream.manual(10, 0, 100)
                s.emit_json({"a": 1})
                del s
        def trader():
            s = _ravik.NativeStream.manual(10, 0, 100)
            ready.wait()
            while True:
                s.aggregate_trade_numeric(*arrays, 1000)
        for f in (closer, dropper, trader):
            threading.Thread(target=f, daemon=True).start()
        ready.wait()
        time.sleep(float(sys.argv[1]))
    """,
    # A non-main thread ends itself with sys.exit while another waits in
    # next_batch; the main thread then returns with both streams open.
    "non-main-thread-exits-while-another-pulls": """
        a = _ravik.NativeStream.manual(10, 0, 100)
        b = _ravik.NativeStream.udp("127.0.0.1", 0, 10, 0, 100)
        stop = threading.Event()
        def pull():
            while not stop.is_set():
                b.next_batch(PLAN, 5)
        def quit_early():
            a.emit_json({"a": 1})
            sys.exit(3)
        p = threading.Thread(target=pull)
        p.start()
        q = threading.Thread(target=quit_early)
        q.start()
        q.join()
        time.sleep(0.02)
        stop.set()
        p.join()
    """,
}


@pytest.mark.concurrency
@pytest.mark.parametrize("scenario", list(EXIT_SCRIPTS))
def test_interpreter_exit_with_live_streams(scenario):
    delays = ["0.01", "0.1", "0.3"] if scenario == "daemon-threads-closing-and-aggregating" else [""]
    for delay in delays:
        t0 = time.monotonic()
        done = run_child(EXIT_SCRIPTS[scenario], delay, timeout=30)
        assert done.returncode == 0, (delay, done.returncode, done.stderr)
        assert "terminate" not in done.stderr and "Fatal" not in done.stderr, done.stderr
        assert time.monotonic() - t0 < 20


# ---------------------------------------------------------------------------
# resources running out while streams are made

EXHAUSTION_SCRIPT = """
    import resource
    with open("/proc/self/maps") as f:
        if "asan" in f.read():
            print("SKIP: AddressSanitizer reserves more address space than any limit here allows")
            sys.exit(0)
    what = sys.argv[1]
    def open_fds():
        return len(os.listdir("/proc/self/fd"))
    def vm_bytes():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
    survivor = _ravik.NativeStream.udp("127.0.0.1", 0, 10, 0, 100)
    fds = open_fds()
    lowest_free = os.dup(0)
    os.close(lowest_free)
    limit = resource.RLIMIT_AS if what == "threads" else resource.RLIMIT_NOFILE
    soft, hard = resource.getrlimit(limit)
    # No room for a thread's stack, or for one more descriptor.
    resource.setrlimit(limit, (vm_bytes() + 4 * 2**20 if what == "threads" else lowest_free, hard))
    errors = []
    for make in (lambda: _ravik.NativeStream.manual(1, 0, 1), lambda: _ravik.NativeStream.udp("127.0.0.1", 0, 1, 0, 1)):
        try:
            make()
            errors.append(None)
        except RuntimeError as e:
            errors.append(str(e))
    resource.setrlimit(limit, (soft, hard))
    print(errors)
    assert open_fds() == fds, "a failed construction left a descriptor open"
    # The failed streams left nothing behind that a fork would touch.
    pid = os.fork()
    if pid == 0:
        os._exit(0 if survivor.is_closed() else 1)
    assert os.waitpid(pid, 0)[1] == 0
    # The stream made before goes on working, and new ones can be made.
    fresh = _ravik.NativeStream.udp("127.0.0.1", 0, 10, 0, 100)
    for s in (survivor, fresh):
        socket.socket(socket.AF_INET, socket.SOCK_DGRAM).sendto(b'{"ok": 1}', s.address())
        deadline = time.monotonic() + 10
        got = None
        while got is None and time.monotonic() < deadline:
            got = s.next_batch(PLAN, 20)
        assert got is not None and got["ok"] == [1], got
        s.close()
"""


@pytest.mark.parametrize("what, expected", [
    # A manual stream needs no descriptor; a UDP stream fails at its socket.
    pytest.param("descriptors", "[None, 'udp socket create failed']", id="descriptors"),
    # The worker thread cannot start: the system error of the thread library.
    pytest.param("threads", "[%r, %r]" % ((os.strerror(11),) * 2), id="thread-stacks"),
])
def test_stream_creation_when_resources_run_out(what, expected):
    done = run_child(EXHAUSTION_SCRIPT, what)
    if done.stdout.startswith("SKIP:"):
        pytest.skip(done.stdout[5:].strip())
    assert done.returncode == 0, (done.stdout, done.stderr)
    assert done.stdout.strip() == expected


# ---------------------------------------------------------------------------
# a consumer that stops pulling while a UDP sender floods

FLOOD_SENDER = """
import socket, sys, time
host, port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sent = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    for _ in range(500):
        sock.sendto(b'{"seq": %d, "sym": "ABCD", "price": 101.25, "qty": 300, "side": "buy"}' % sent, (host, port))
        sent += 1
print(sent)
"""


@pytest.mark.concurrency
def test_udp_flood_with_no_consumer_keeps_the_process_up(record_property):
    """Nothing pulls while a sender floods: the worker keeps cutting batches,
    which pile up without bound (the queue's capacity limits only the uncut
    events). The process stays up, and once pulling resumes every event the
    stream took in comes out exactly once."""
    flood_s = 1.5
    s = _ravik.NativeStream.udp("127.0.0.1", 0, 100_000, 0, 100_000)
    host, port = s.address()
    sender = subprocess.Popen([sys.executable, "-c", FLOOD_SENDER, host, str(port), str(flood_s)],
                              stdout=subprocess.PIPE, text=True)
    try:
        r0, t0 = rss_bytes(), time.monotonic()
        samples = []
        while sender.poll() is None and time.monotonic() - t0 < 30:
            time.sleep(0.1)
            samples.append((time.monotonic() - t0, rss_bytes() - r0, s.stats()["ingested"]))
        sent = int(sender.communicate(timeout=30)[0])
    finally:
        if sender.poll() is None:
            sender.kill()
            sender.wait()
    elapsed, growth, ingested = samples[-1]
    per_second = growth / elapsed
    record_property("flood_events_per_second", round(ingested / elapsed))
    record_property("flood_rss_growth_bytes_per_second", round(per_second))
    record_property("flood_rss_growth_bytes_per_event", round(growth / max(1, ingested)))
    print(f"\nUDP flood, nothing pulled: {ingested / elapsed:.0f} events/s taken in, RSS +{per_second / 2**20:.1f} "
          f"MiB/s ({growth / max(1, ingested):.0f} bytes per unpulled event)")

    assert ingested > 0 and not s.is_closed()
    # Intake went on for the whole flood: the worker was not stalled.
    assert samples[len(samples) // 2][2] < ingested
    assert s.stats()["output_rows"] == 0

    s.close()  # batch_size == capacity: the final cut takes everything still queued
    seqs = []
    for _ in range(1000):
        b = s.next_batch(PLAN, 0)
        if b is None:
            break
        seqs += b["seq"]
    st = s.stats()
    assert st["ingested"] <= sent
    assert len(seqs) == len(set(seqs)) == st["output_rows"] == st["ingested"] - st["dropped"]
    assert set(seqs) <= set(range(sent))
    assert seqs == sorted(seqs)  # one sender: arrival order is kept
