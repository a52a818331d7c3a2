"""UDP ingest throughput: the highest datagram rate a UDP stream receives with
nothing lost, and the parser's share of the worker's time.

A paced sender process (bench/udp_sender.c, compiled here with cc) sends
~100-byte flat JSON objects of six members to a stream bound on 127.0.0.1 at
rising rates; this process pulls with next_batch meanwhile. A rate is
lossless when every datagram sent came out of next_batch, with nothing
dropped by the queue or lost in the kernel. The parser's own cost per object
comes from bench/bench_parse.cpp (compiled here with c++ -O2), a tight loop
over typical objects.

Run: .venv/bin/python bench/bench_udp.py [--seconds S] [--rates R1,R2,...]
"""

import argparse
import os
import pathlib
import resource
import shutil
import subprocess
import sys
import tempfile
import threading
import time

import _ravik

ROOT = pathlib.Path(__file__).resolve().parent.parent
PLAN = {
    "filters": [],
    "select": None,
    "window": None,
    "mean": None,
    "watermark_ms": None,
    "allowed_lateness_ms": None,
    "event_id_field": None,
    "drop_late": False,
}
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def build(tmp):
    sender = tmp / "udp_sender"
    parse = tmp / "bench_parse"
    subprocess.run([shutil.which("cc") or "cc", "-O2", "-o", str(sender), str(ROOT / "bench/udp_sender.c")],
                   check=True)
    subprocess.run([shutil.which("c++") or "c++", "-std=c++20", "-O2", "-I", str(ROOT / "src/core"), "-o", str(parse),
                    str(ROOT / "bench/bench_parse.cpp"), str(ROOT / "src/core/flat_json.cpp"), str(ROOT / "src/core/cell.cpp")],
                   check=True)
    return sender, parse


def thread_ids():
    return set(int(t) for t in os.listdir("/proc/self/task"))


def thread_cpu_seconds(tid):
    with open(f"/proc/self/task/{tid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS  # utime + stime


def trial(sender_bin, rate, seconds, senders, receivers=1):
    """One paced run; with receivers > 1 the stream is ravik.udp_stream's,
    and "worker_us" is the CPU of all the stream's threads per datagram."""
    per_sender = int(rate * seconds) // senders
    count = per_sender * senders
    before = thread_ids()
    if receivers == 1:
        stream = _ravik.NativeStream.udp("127.0.0.1", 0, 100_000, 1, 200_000)
    else:
        import ravik
        stream = ravik.udp_stream("127.0.0.1", 0, receivers=receivers, batch_size=100_000, linger_ms=1,
                                  capacity=200_000)
    stream_threads = thread_ids() - before
    host, port = stream.address()
    main_tid = threading.get_native_id()
    main_cpu0 = thread_cpu_seconds(main_tid)
    children0 = resource.getrusage(resource.RUSAGE_CHILDREN)
    children_cpu0 = children0.ru_utime + children0.ru_stime
    worker_cpu0 = sum(thread_cpu_seconds(t) for t in stream_threads)

    procs = [subprocess.Popen([str(sender_bin), host, str(port), str(rate / senders), str(per_sender)],
                              stdout=subprocess.PIPE, text=True) for _ in range(senders)]
    received = 0
    last_progress = time.monotonic()
    while True:
        batch = stream.next_batch(PLAN, 50)
        now = time.monotonic()
        if batch:
            received += len(batch["seq"])
            last_progress = now
        if all(p.poll() is not None for p in procs) and (received >= count or now - last_progress > 0.5):
            break
    sent, elapsed = 0, 0.0
    for p in procs:
        out, _ = p.communicate()
        n, t = out.split()
        sent, elapsed = sent + int(n), max(elapsed, float(t))
    # The senders are the only children reaped meanwhile; the loopback
    # delivery runs on their time too.
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    sender_cpu = children.ru_utime + children.ru_stime - children_cpu0
    worker_cpu = sum(thread_cpu_seconds(t) for t in stream_threads) - worker_cpu0
    main_cpu = thread_cpu_seconds(main_tid) - main_cpu0
    stats = stream.stats()
    stream.close()
    return {
        "target": rate,
        "achieved": sent / elapsed if elapsed > 0 else float("inf"),
        "sent": sent,
        "received": received,
        "dropped": stats["dropped"],
        "kernel_lost": sent - stats["ingested"],
        "worker_us": 1e6 * worker_cpu / max(sent, 1),
        "consumer_us": 1e6 * main_cpu / max(sent, 1),
        "sender_us": 1e6 * sender_cpu / max(sent, 1),
        # Cores kept busy by the senders, the stream's threads and the consumer while sending.
        "busy_cores": (sender_cpu + worker_cpu + main_cpu) / elapsed if elapsed > 0 else float("nan"),
        "lossless": received == sent == count and stats["dropped"] == 0 and stats["ingested"] == sent,
    }


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--seconds", type=float, default=1.0)
    ap.add_argument("--senders", type=int, default=1, help="sender processes sharing each rate")
    ap.add_argument("--rates", default="25000,50000,100000,150000,200000,300000,400000,500000,700000,1000000")
    args = ap.parse_args()

    with tempfile.TemporaryDirectory() as d:
        sender_bin, parse_bin = build(pathlib.Path(d))
        parse_runs = [subprocess.run([str(parse_bin), "2000000"], check=True, capture_output=True, text=True).stdout
                      for _ in range(5)]
        parse_ns = min(float(r.split()[0]) for r in parse_runs)
        print(f"parse: {parse_ns:.0f} ns per object (best of 5; {parse_runs[0].strip()})")

        print(f"{'target/s':>9} {'achieved/s':>10} {'sent':>8} {'out':>8} {'dropped':>7} {'kernel':>6} "
              f"{'worker us':>9} {'consumer us':>11} {'parse share':>11}  result")
        best = None
        failures = 0
        worker_costs = []
        for rate in (int(r) for r in args.rates.split(",")):
            r = trial(sender_bin, rate, args.seconds, args.senders)
            share = (parse_ns / 1000) / r["worker_us"] if r["worker_us"] > 0 else float("nan")
            print(f"{r['target']:>9} {r['achieved']:>10.0f} {r['sent']:>8} {r['received']:>8} {r['dropped']:>7} "
                  f"{r['kernel_lost']:>6} {r['worker_us']:>9.2f} {r['consumer_us']:>11.2f} {share:>10.0%}  "
                  f"{'lossless' if r['lossless'] else 'LOSS'}")
            sys.stdout.flush()
            worker_costs.append(r["worker_us"])
            if r["lossless"]:
                best = max(best or 0, r["achieved"])
                failures = 0
            else:
                failures += 1
                if failures >= 2:
                    break
        print(f"highest lossless rate: {best:.0f} datagrams/s" if best else "no lossless rate")
        # The sender (which also pays the loopback delivery) usually saturates
        # first; the worker's own CPU cost bounds what the receive side could take.
        cheapest = min(worker_costs)
        print(f"worker CPU per datagram: {cheapest:.2f} us at best, i.e. about {1e6 / cheapest:.0f} datagrams/s "
              f"per core on the receive side; parsing is {parse_ns / 10 / cheapest:.0f}% of it")


if __name__ == "__main__":
    main()
