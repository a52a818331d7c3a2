"""Waiting for results without the interpreter lock, in threads and in asyncio; streams in with blocks."""

import asyncio
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import _ravik
import ravik
from plans import make_plan

PASS = make_plan(drop_late=False)


class Ticker:
    """A thread that counts its 1 ms naps: it only runs while nobody holds the interpreter lock."""

    def __init__(self):
        self.ticks = 0
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._run, daemon=True)

    def _run(self):
        while not self._stop.is_set():
            self.ticks += 1
            time.sleep(0.001)

    def __enter__(self):
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()


@pytest.mark.concurrency
@pytest.mark.parametrize("pull", [ravik.batches, ravik.arrow_batches])
def test_idle_waits_let_other_threads_run(manual, pull):
    stream = manual()
    with Ticker() as ticker:
        it = pull(stream, PASS, timeout_ms=100)
        started = time.monotonic()
        closer = threading.Timer(0.6, stream.close)
        closer.start()
        assert list(it) == []
        closer.join()
        waited = time.monotonic() - started
    # About one tick a millisecond while waiting (was 4 in 3 s when next_batch held the lock).
    assert waited >= 0.5
    assert ticker.ticks > 100


def test_ctrl_c_ends_a_long_wait_promptly(tmp_path):
    script = textwrap.dedent("""
        import ravik, sys
        s = ravik.NativeStream.manual(10, 1, 10)
        print("waiting", flush=True)
        try:
            for _ in ravik.batches(s, ravik.plan(), timeout_ms=60_000):
                pass
        except KeyboardInterrupt:
            print("interrupted", flush=True)
    """)
    proc = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "waiting\n"
        time.sleep(0.2)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=10)
        assert out == "interrupted\n"
        assert time.monotonic() - sent < 2
    finally:
        proc.kill()


@pytest.mark.concurrency
def test_abatches_follows_the_stream_without_polling():
    async def main():
        stream = _ravik.NativeStream.manual(1000, 1, 100_000)
        ticks = 0

        async def ticker():
            nonlocal ticks
            while True:
                ticks += 1
                await asyncio.sleep(0.001)

        async def producer():
            for i in range(20):
                stream.emit_json({"i": i, "timestamp": i})
                await asyncio.sleep(0.01)
            await asyncio.sleep(0.3)  # idle: the consumer must not spin meanwhile
            stream.emit_json({"i": 20, "timestamp": 20})
            stream.close()

        tick_task = asyncio.create_task(ticker())
        produce_task = asyncio.create_task(producer())
        cpu = time.process_time()
        got = [i async for batch in ravik.abatches(stream, PASS) for i in batch["i"]]
        cpu = time.process_time() - cpu
        await produce_task
        tick_task.cancel()
        return got, ticks, cpu

    got, ticks, cpu = asyncio.run(main())
    assert got == list(range(21))
    assert ticks > 100
    assert cpu < 0.4  # about 0.5 s of wall time, most of it idle


def test_abatches_ends_on_a_stream_closed_before_it_started(manual):
    stream = manual()
    stream.emit_json({"a": 1, "timestamp": 1})
    stream.close()

    async def collect():
        return [b async for b in ravik.abatches(stream, PASS)]

    assert asyncio.run(collect()) == [{"a": [1], "timestamp": [1]}]


def test_with_block_closes_the_stream_also_on_error():
    with _ravik.NativeStream.udp("127.0.0.1", 0, 10, 1, 10) as stream:
        assert not stream.is_closed()
    assert stream.is_closed()
    with pytest.raises(ZeroDivisionError):
        with _ravik.NativeStream.manual(10, 1, 10) as other:
            1 / 0
    assert other.is_closed()


class BytesPath:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return os.fsencode(self.path)


@pytest.mark.parametrize("wrap", [lambda p: p, str, BytesPath], ids=["pathlib", "str", "pathlike-bytes"])
def test_checkpoint_paths_may_be_path_like(manual, tmp_path, wrap):
    stream = manual()
    stream.aggregate_columns({"id": ["a"], "v": [1], "timestamp": [5]}, make_plan(event_id_field="id"))
    stream.save_checkpoint(wrap(tmp_path / "state.ckpt"))
    restored = manual()
    restored.load_checkpoint(wrap(tmp_path / "state.ckpt"))
    assert restored.stats()["seen_event_ids"] == 1
