"""Messages per second through one ravik.kafka consumer, on librdkafka's mock cluster.

Produces N flat JSON events (about 90 bytes each, keyed by sensor) to a
topic of 4 partitions of an in-process mock cluster, then times a bare
consume() loop that reads every value, and one PartitionedConsumer (the
windowed plan of the suite: 1 s windows by sensor, mean, dedup by id) from
its first poll until every message is processed, with and without
checkpoints. Beside wall time it reports the process's CPU time per
message (the mock broker's share is in both) and the member's ratio to the
bare loop. The mock broker runs in this process on the same 2 cores, so the
figures are a floor for a real broker on other hosts.

Run: .venv/bin/python bench/bench_kafka.py [--events N]
"""

import argparse
import json
import tempfile
import time
import uuid

from confluent_kafka import Consumer, Producer

import ravik
from ravik.kafka import MockCluster, PartitionedConsumer

PLAN = ravik.plan(window_seconds=1, by="sensor", mean="value", watermark_ms=1000, event_id_field="id")


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--events", type=int, default=100_000)
    args = ap.parse_args()
    cluster = MockCluster()
    brokers = cluster.bootstrap_servers
    topic = f"bench-{uuid.uuid4().hex[:6]}"
    producer = Producer({"bootstrap.servers": brokers, "linger.ms": 20, "batch.num.messages": 10000})
    started = time.perf_counter()
    for i in range(args.events):
        event = {"id": i, "sensor": f"sensor-{i % 100}", "value": i % 7, "timestamp": 1_700_000_000_000 + i}
        while True:
            try:
                producer.produce(topic, json.dumps(event).encode(), key=event["sensor"].encode())
                break
            except BufferError:
                producer.poll(0.05)
    producer.flush(120)
    print(f"produced {args.events:,} in {time.perf_counter() - started:.1f} s")
    bare = Consumer({"bootstrap.servers": brokers, "group.id": f"g-{uuid.uuid4().hex[:6]}",
                     "auto.offset.reset": "earliest", "enable.auto.commit": False})
    bare.subscribe([topic])
    first = [m for m in bare.consume(10_000, 0.1) if m.error() is None]
    while not first:
        first = [m for m in bare.consume(10_000, 0.1) if m.error() is None]
    read, nbytes = len(first), 0
    started, cpu = time.perf_counter(), time.process_time()
    while read < args.events:
        batch = bare.consume(10_000, 1.0)
        if not batch:
            raise SystemExit(f"the bare loop read {read:,} of {args.events:,} messages")
        for m in batch:
            if m.error() is None:
                nbytes += len(m.value())
                read += 1
    bare_cpu = (time.process_time() - cpu) / (args.events - len(first))
    elapsed = time.perf_counter() - started
    bare.close()
    print(f"bare consume() loop: {args.events / elapsed:,.0f} messages/s, {bare_cpu * 1e6:.2f} us CPU per message")
    for label, state_dir in (("no checkpoints", None), ("checkpoint every 1 s", tempfile.mkdtemp())):
        consumer = PartitionedConsumer(brokers, topic, f"g-{uuid.uuid4().hex[:6]}", PLAN, state_dir=state_dir,
                                       checkpoint_every_s=1.0)
        rows = 0
        while not consumer.assignment():
            rows += sum(len(r.columns["count"]) for r in consumer.poll(0.1))
        started, cpu = time.perf_counter(), time.process_time()
        while sum(o or 0 for o in consumer.positions().values()) < args.events:
            rows += sum(len(r.columns["count"]) for r in consumer.poll(0.1))
        elapsed = time.perf_counter() - started
        member_cpu = (time.process_time() - cpu) / args.events
        consumer.close()
        print(f"{label}: {args.events / elapsed:,.0f} messages/s ({elapsed:.2f} s, {rows:,} window rows), "
              f"{member_cpu * 1e6:.2f} us CPU per message, {member_cpu / bare_cpu:.2f}x the bare loop")
    cluster.close()


if __name__ == "__main__":
    main()
