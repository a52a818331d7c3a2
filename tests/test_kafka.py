"""Kafka consumer groups and the UDP relay, against librdkafka's in-process mock cluster.

The cluster lives in this test process (ravik.kafka.MockCluster); its
brokers listen on 127.0.0.1, so other clients, in this process or in
subprocesses, reach it through its bootstrap address.
"""

import bisect
import json
import os
import queue
import random
import re
import signal
import socket
import subprocess
import threading
import time
import uuid

import pytest

import _ravik
from plans import make_plan
from test_cli import ravik_command

kafka = pytest.importorskip("confluent_kafka", reason="confluent-kafka is a test dependency (scripts/bootstrap.sh)")
from ravik.kafka import MockCluster, PartitionedConsumer  # noqa: E402

PLAN = make_plan(window={"seconds": 1, "by": "sensor", "time_field": "timestamp"},
                 mean={"field": "value", "alias": "mean_value"}, watermark_ms=1000, event_id_field="id")
GROUP_SETTINGS = {"session.timeout.ms": "6000", "heartbeat.interval.ms": "300"}
PARTITIONS = 4  # the mock cluster's default for a topic it creates


@pytest.fixture(scope="module")
def cluster():
    with MockCluster() as mock:
        yield mock


@pytest.fixture(scope="module")
def brokers(cluster):
    return cluster.bootstrap_servers


def unique(name):
    return f"{name}-{uuid.uuid4().hex[:8]}"


def create_topic(brokers, topic):
    """The mock cluster creates a topic (of 4 partitions) when a client first asks about it."""
    metadata = kafka.Producer({"bootstrap.servers": brokers}).list_topics(topic, timeout=10)
    assert len(metadata.topics[topic].partitions) == PARTITIONS


def make_events(n, start=0):
    return [{"id": i, "sensor": f"s{i % 8}", "value": i % 7, "timestamp": 1_000_000 + 20 * i}
            for i in range(start, start + n)]


def produce(brokers, topic, events, raw=()):
    producer = kafka.Producer({"bootstrap.servers": brokers})
    for e in events:
        producer.produce(topic, json.dumps(e).encode(), key=e["sensor"].encode())
    for value in raw:
        producer.produce(topic, value, key=b"s0")
    assert producer.flush(30) == 0


def read_topic(brokers, topic, expected, timeout=30):
    """Every message of the topic: at least `expected`, then until none comes for a second."""
    consumer = kafka.Consumer({"bootstrap.servers": brokers, "group.id": unique("reader"),
                               "auto.offset.reset": "earliest"})
    consumer.subscribe([topic])
    got = []
    deadline = time.monotonic() + timeout
    quiet_since = time.monotonic()
    while time.monotonic() < deadline:
        batch = [m for m in consumer.consume(1000, 0.2) if m.error() is None]
        got += batch
        if batch:
            quiet_since = time.monotonic()
        elif len(got) >= expected and time.monotonic() - quiet_since > 1.0:
            break
    consumer.close()
    return got


def oracle(events):
    columns = {k: [e[k] for e in events] for k in events[0]}
    out = _ravik.NativeStream.manual(1, 1, 1).aggregate_columns(columns, PLAN)
    return sorted(zip(out["window_start"], out["sensor"], out["count"], out["mean_value"]))


def windows(batches):
    return sorted((w, g, c, m) for b in batches
                  for w, g, c, m in zip(b["window_start"], b["sensor"], b["count"], b["mean_value"]))


def poll_until(members, done, results, timeout=60):
    deadline = time.monotonic() + timeout
    while not done():
        assert time.monotonic() < deadline, f"not done within {timeout} s: {[m.positions() for m in members]}"
        for member in members:
            results += [r.columns for r in member.poll(0.1)]


def consumed(members, total):
    return lambda: sum(o or 0 for m in members for o in m.positions().values()) == total


@pytest.mark.parametrize("store, protocol", [("directory", "range,roundrobin"), ("topic", "cooperative-sticky")])
def test_a_group_splits_the_partitions_and_hands_them_over_with_their_state(brokers, cluster, tmp_path, store,
                                                                            protocol):
    topic, group = unique("events"), unique("group")
    first, second = make_events(1200), make_events(1200, start=1200)
    produce(brokers, topic, first)
    if store == "topic":  # each member its own directory, unused: the state moves through the topic
        cluster.create_topic(f"{group}.ravik-state", 1)
        kept = [{"state_topic": True}, {"state_topic": True}]
    else:
        kept = [{"state_dir": str(tmp_path / "state")}] * 2
    settings = {**GROUP_SETTINGS, "partition.assignment.strategy": protocol}
    a, b = (PartitionedConsumer(brokers, topic, group, PLAN, config=settings, checkpoint_every_s=0.3, **k)
            for k in kept)
    results = []
    both = lambda: a.assignment() and b.assignment() and consumed([a, b], len(first))()  # noqa: E731
    poll_until([a, b], both, results)
    assert sorted(a.assignment() + b.assignment()) == list(range(PARTITIONS))

    a.close()  # saves, commits and leaves: b takes over its partitions with their state
    produce(brokers, topic, second)
    poll_until([b], lambda: len(b.assignment()) == PARTITIONS and consumed([b], 2400)(), results)
    results += [r.columns for r in b.flush_windows()]
    b.close()
    # Every window once, each whole: nothing lost, nothing counted twice.
    assert windows(results) == oracle(first + second)


def test_a_killed_member_is_replaced_and_the_counts_stay_exact(brokers, tmp_path):
    topic, group, out_topic = unique("events"), unique("group"), unique("windows")
    state = str(tmp_path / "state")
    create_topic(brokers, topic)
    events = make_events(3000)
    # Resent events (same ids) must not count twice either.
    resent = [dict(e) for e in events[100:200]]
    killed = subprocess.Popen(
        ravik_command("consume", "--kafka", brokers, "--topic", topic, "--group", group, "--window", "1",
                      "--by", "sensor", "--mean", "value", "--id-field", "id", "--watermark-ms", "1000",
                      "--state-dir", state, "--checkpoint-every", "0.2", "--output-topic", out_topic,
                      *[a for k, v in GROUP_SETTINGS.items() for a in ("--kafka-config", f"{k}={v}")]),
        stderr=subprocess.PIPE, text=True)
    err_lines = []
    reader = threading.Thread(target=lambda: err_lines.extend(iter(killed.stderr.readline, "")), daemon=True)
    reader.start()
    b = PartitionedConsumer(brokers, topic, group, PLAN, state_dir=state, output_topic=out_topic,
                            config=GROUP_SETTINGS, checkpoint_every_s=0.2)
    try:
        assigned = re.compile(r"assigned partitions \[\d")
        poll_until([b], lambda: b.assignment() and any(assigned.search(line) for line in err_lines), [])
        produce(brokers, topic, events[:2000] + resent)

        def saved_by_the_other():
            offsets = {}
            for name in os.listdir(state):
                m = re.fullmatch(re.escape(topic) + r"-(\d+)@(\d+)\.ckpt", name)
                if m and int(m.group(1)) not in b.assignment():
                    offsets[int(m.group(1))] = max(offsets.get(int(m.group(1)), 0), int(m.group(2)))
            return sum(offsets.values()) + sum(o or 0 for o in b.positions().values()) == 2100

        poll_until([b], saved_by_the_other, [])
        produce(brokers, topic, events[2000:2500])
        time.sleep(0.3)  # the member processes some of them, beyond its last checkpoint
        killed.send_signal(signal.SIGKILL)
        killed.wait(timeout=10)
        produce(brokers, topic, events[2500:])
        poll_until([b], lambda: len(b.assignment()) == PARTITIONS and consumed([b], 3100)(), [], timeout=90)
        b.flush_windows()
    finally:
        killed.kill()
        killed.wait()
        reader.join(timeout=10)
        killed.stderr.close()
        b.close()
    rows = [json.loads(m.value()) for m in read_topic(brokers, out_topic, len(oracle(events)))]
    # A window emitted by the killed member after its last checkpoint is
    # emitted again by its successor, with the same count: results are
    # delivered at least once, and each window's figures are exact.
    emitted = {}
    for r in rows:
        key = (r["window_start"], r["sensor"])
        assert emitted.setdefault(key, (r["count"], r["mean_value"])) == (r["count"], r["mean_value"])
    assert sorted((w, g, c, m) for (w, g), (c, m) in emitted.items()) == oracle(events)


def test_the_relay_delivers_every_datagram_it_received(brokers):
    topic = unique("relayed")
    relay = subprocess.Popen(ravik_command("relay", "--port", "0", "--kafka", brokers, "--topic", topic,
                                           "--key-field", "sensor", "--receivers", "2"),
                             stderr=subprocess.PIPE, text=True)
    try:
        port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", relay.stderr.readline()).group(1))
        events = make_events(500)
        # Neighbours of other types change nothing: each datagram goes as it came.
        mixed = [b'{"id":"m1","sensor":21,"timestamp":1765000000000,"value":21.5}',
                 b'{"id":"m2","sensor":21.0,"timestamp":1765000000000.5,"value":"n/a"}',
                 b'{"id":"m3","sensor":"21","value":null,"note":"caf\\u00e9 \\"q\\""}',
                 b'{"id":"m4","value":1}', b'{"id":"m5","sensor":null}']
        sent = [json.dumps(e).encode() for e in events] + mixed
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            for datagram in sent:
                sock.sendto(datagram, ("127.0.0.1", port))
            sock.sendto(b"not json", ("127.0.0.1", port))
        messages = read_topic(brokers, topic, len(sent))
        relay.send_signal(signal.SIGINT)
        _, err = relay.communicate(timeout=30)
    finally:
        relay.kill()
    assert relay.returncode == 0, err
    assert "received 505, delivered 505, failed 0, not events 1" in err
    assert sorted(m.value() for m in messages) == sorted(sent)
    keys = {m.value(): m.key() for m in messages}
    assert [keys[d] for d in mixed] == [b"21", b"21.0", b"21", None, None]
    assert all(keys[json.dumps(e).encode()] == e["sensor"].encode() for e in events)


def test_a_member_closes_quiet_partitions_and_produces_late_events(brokers):
    import ravik

    topic, group, late_topic = unique("events"), unique("group"), unique("late")
    plan = ravik.plan(window_seconds=1, by="sensor", mean="value", alias="mean_value", watermark_ms=0,
                      event_id_field="id", idle_close_ms=200, late="side")
    events = make_events(400)
    late = [{"id": 10_000 + k, "sensor": "s0", "value": 1, "timestamp": 1_000_000} for k in range(3)]
    produce(brokers, topic, events + late)
    member = PartitionedConsumer(brokers, topic, group, plan, config=GROUP_SETTINGS, late_topic=late_topic)
    results = []
    try:
        # No flush and no newer events: the quiet partitions close their last windows.
        expected = oracle(events)
        poll_until([member], lambda: len(windows(results)) == len(expected), results)
    finally:
        member.close()
    assert windows(results) == expected
    assert sorted(json.loads(m.value())["id"] for m in read_topic(brokers, late_topic, 3)) == [10_000, 10_001, 10_002]


def test_a_member_runs_hopping_windows_with_aggregates_through_its_checkpoints(brokers, tmp_path):
    import ravik
    topic, group = unique("events"), unique("group")
    events = make_events(800)
    produce(brokers, topic, events)
    plan = ravik.plan(window_seconds=2, hop_seconds=1, by="sensor", watermark_ms=0, align="epoch",
                      aggregates={"hi": ("max", "value"), "p50": ("quantile", "value", 0.5)})
    member = PartitionedConsumer(brokers, topic, group, plan, state_dir=str(tmp_path / "state"),
                                 config=GROUP_SETTINGS, checkpoint_every_s=0.2)
    results = []
    poll_until([member], consumed([member], len(events)), results)
    results += [r.columns for r in member.flush_windows()]
    member.close()
    # Each sensor's events are in one partition: the partitions' windows are one stream's.
    stream = _ravik.NativeStream.manual(1000, 1, 1000)
    stream.emit_columns({k: [e[k] for e in events] for k in events[0]})
    stream.close()
    expected = [ravik.pull(stream, plan), ravik.pull(stream, plan)]
    rows = lambda batches: sorted(  # noqa: E731
        (w, g, c, h, p) for b in batches if b
        for w, g, c, h, p in zip(b["window_start"], b["sensor"], b["count"], b["hi"], b["p50"]))
    assert rows(results) == rows(expected) and len(rows(results)) > 100


def committed_rows(brokers, topic, sessions):
    """The output topic as a read_committed reader sees it.

    librdkafka's mock cluster writes each committed transaction's marker in
    the log (it takes an offset) but hides nothing from read_committed
    readers, so this judges it: in each partition, a run of messages of one
    writer (`sessions`: the times each later writer started, which split the
    messages by their timestamps) counts only when a marker follows it."""
    consumer = kafka.Consumer({"bootstrap.servers": brokers, "group.id": unique("reader")})
    rows = []
    for p in range(PARTITIONS):
        tp = kafka.TopicPartition(topic, p, kafka.OFFSET_BEGINNING)
        _, high = consumer.get_watermark_offsets(tp, timeout=10)
        consumer.assign([tp])
        got = []
        deadline = time.monotonic() + 30
        while (not got or got[-1].offset() < high - 2) and high > 0:
            assert time.monotonic() < deadline
            got += [m for m in consumer.consume(1000, 0.2) if m.error() is None]
        run = []
        for i, m in enumerate(got):
            run.append(m)
            writer = bisect.bisect(sessions, m.timestamp()[1])
            after = got[i + 1] if i + 1 < len(got) else None
            following = after.offset() if after is not None else high
            if after is not None and bisect.bisect(sessions, after.timestamp()[1]) == writer and following == m.offset() + 1:
                continue  # the run goes on
            if following > m.offset() + 1:
                rows += [json.loads(r.value()) for r in run]  # a marker follows: committed
            run = []
    consumer.close()
    return rows


def test_members_killed_at_random_moments_leave_every_window_once_with_exactly_once(brokers, cluster):
    topic, group, out_topic = unique("events"), unique("group"), unique("windows")
    cluster.create_topic(f"{group}.ravik-state", 1)
    create_topic(brokers, topic)
    events = make_events(24_000)
    stop = threading.Event()

    def feed():  # events keep coming while members come and go
        for start in range(0, len(events), 200):
            if stop.is_set():
                return
            produce(brokers, topic, events[start:start + 200])
            time.sleep(0.2)

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    # The mock cluster never aborts the transaction a killed member left
    # open, so read_committed readers of the state topic would wait on it
    # for good: the members read their states uncommitted here (the mock
    # shows aborted data anyway) and the test judges the output's commits.
    settings = {"session.timeout.ms": "1000", "heartbeat.interval.ms": "100", "isolation.level": "read_uncommitted"}
    rng = random.Random(26)
    sessions = []
    try:
        for _ in range(10):
            sessions.append(time.time_ns() // 1_000_000)
            member = subprocess.Popen(
                ravik_command("consume", "--kafka", brokers, "--topic", topic, "--group", group, "--window", "1",
                              "--by", "sensor", "--mean", "value", "--id-field", "id", "--watermark-ms", "1000",
                              "--exactly-once", "--checkpoint-every", "0.3", "--output-topic", out_topic,
                              # results reach the broker long before their transaction commits
                              "--producer-config", "linger.ms=0",
                              *[a for k, v in settings.items() for a in ("--consumer-config", f"{k}={v}")]),
                stderr=subprocess.PIPE, text=True)
            lines = queue.Queue()
            reader = threading.Thread(target=lambda: [lines.put(x) for x in iter(member.stderr.readline, "")],
                                      daemon=True)
            reader.start()
            deadline = time.monotonic() + 60
            while "assigned partitions [0" not in lines.get(timeout=max(0.1, deadline - time.monotonic())):
                pass
            time.sleep(rng.uniform(0.0, 1.0))  # a random moment of its run
            member.send_signal(signal.SIGKILL)
            member.wait(timeout=10)
            reader.join(timeout=10)
            member.stderr.close()
            time.sleep(0.01)
        feeder.join()
        sessions.append(time.time_ns() // 1_000_000)
        last = PartitionedConsumer(brokers, topic, group, PLAN, output_topic=out_topic, exactly_once=True,
                                   consumer_config=settings, checkpoint_every_s=0.1)
        poll_until([last], lambda: len(last.assignment()) == PARTITIONS and consumed([last], len(events))(), [],
                   timeout=120)
        last.flush_windows()
        last.close()
    finally:
        stop.set()
    rows = committed_rows(brokers, out_topic, sessions)
    assert sorted((r["window_start"], r["sensor"], r["count"], r["mean_value"]) for r in rows) == oracle(events)


def test_a_member_killed_right_after_a_checkpoint_loses_no_window(brokers, cluster):
    """The results are delivered before the state that covers them is saved,
    however long the producer lingers."""
    topic, group, out_topic = unique("events"), unique("group"), unique("windows")
    state_topic = f"{group}.ravik-state"
    cluster.create_topic(state_topic, 1)
    events = make_events(3000)
    produce(brokers, topic, events[:2000])
    killed = subprocess.Popen(
        ravik_command("consume", "--kafka", brokers, "--topic", topic, "--group", group, "--window", "1",
                      "--by", "sensor", "--mean", "value", "--id-field", "id", "--watermark-ms", "1000",
                      "--state-topic", "--checkpoint-every", "0.2", "--output-topic", out_topic,
                      "--producer-config", "linger.ms=2000",
                      *[a for k, v in GROUP_SETTINGS.items() for a in ("--consumer-config", f"{k}={v}")]),
        stderr=subprocess.DEVNULL)
    try:
        watcher = kafka.Consumer({"bootstrap.servers": brokers, "group.id": unique("watch")})
        watcher.assign([kafka.TopicPartition(state_topic, 0, kafka.OFFSET_BEGINNING)])
        deadline = time.monotonic() + 60
        while not any(m.error() is None for m in watcher.consume(100, 0.05)):  # a state is saved: kill now
            assert time.monotonic() < deadline and killed.poll() is None
        killed.send_signal(signal.SIGKILL)
        killed.wait(timeout=10)
        watcher.close()
    finally:
        killed.kill()
        killed.wait()
    produce(brokers, topic, events[2000:])
    b = PartitionedConsumer(brokers, topic, group, PLAN, state_topic=True, output_topic=out_topic,
                            config=GROUP_SETTINGS, checkpoint_every_s=0.2)
    poll_until([b], lambda: len(b.assignment()) == PARTITIONS and consumed([b], 3000)(), [], timeout=90)
    b.flush_windows()
    b.close()
    emitted = {}
    for r in (json.loads(m.value()) for m in read_topic(brokers, out_topic, len(oracle(events)))):
        assert emitted.setdefault((r["window_start"], r["sensor"]), (r["count"], r["mean_value"])) == \
            (r["count"], r["mean_value"])
    assert sorted((w, g, c, m) for (w, g), (c, m) in emitted.items()) == oracle(events)


@pytest.mark.parametrize("command", [
    ["relay", "--port", "0", "--topic", "t"],
    ["consume", "--topic", "t", "--group", "g", "--window", "1", "--mean", "v"]])
def test_commands_exit_with_an_error_when_no_broker_answers(command):
    started = time.monotonic()
    done = subprocess.run(ravik_command(*command, "--kafka", "127.0.0.1:9", "--timeout", "2"),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode != 0 and "no Kafka broker at 127.0.0.1:9 answered within 2 s" in done.stderr
    assert time.monotonic() - started < 15
