"""``consume``: one member of a Kafka consumer group running the plan."""

from __future__ import annotations

import argparse
import json
import math
import sys
import time

from ravik._output import FORMATS

from .options import Parser, StopSignals, add_plan_arguments, describe_plan, kafka_settings, plan_of, seconds
from .output import RowOutput


def add_parser(commands: argparse._SubParsersAction[Parser]) -> argparse.ArgumentParser:
    """The ``consume`` subcommand and its options."""
    consume = commands.add_parser(
        "consume", help="process a Kafka topic as one member of a consumer group",
        description="Join a Kafka consumer group and run the plan on each partition assigned to this "
                    "process, with one stream (watermark, deduplication, windows) per partition. Rows go "
                    "to stdout (or --output FILE, or --output-topic); messages and the final stats to stderr. "
                    "Needs confluent-kafka (pip install 'ravik[kafka]').")
    kafka = consume.add_argument_group("kafka")
    kafka.add_argument("--kafka", required=True, metavar="BROKERS", help="bootstrap servers, host:port[,host:port...]")
    kafka.add_argument("--topic", required=True, help="topic of flat JSON events, keyed by the group field")
    kafka.add_argument("--group", required=True, help="consumer group id (every member runs the same plan)")
    kafka.add_argument("--output-topic", metavar="TOPIC", help="produce result rows to TOPIC (JSON, keyed by group)")
    kafka.add_argument("--late-topic", metavar="TOPIC",
                       help="keep events later than the allowed lateness and produce them to TOPIC (JSON, keyed "
                            "by group; still counted as late)")
    kafka.add_argument("--state-dir", metavar="DIR",
                       help="checkpoint each partition's state here; offsets are committed only after a checkpoint "
                            "covers them (shared storage lets partitions move between machines with their state)")
    kafka.add_argument("--checkpoint-every", type=seconds, default=5.0, metavar="SECONDS",
                       help="save and commit this often (default %(default)s)")
    kafka.add_argument("--kafka-config", action="append", default=[], metavar="KEY=VALUE",
                       help="a librdkafka setting for the clients (repeatable), e.g. session.timeout.ms=10000")
    add_plan_arguments(consume)
    cout = consume.add_argument_group("output")
    cout.add_argument("--format", choices=FORMATS, help="row format (as for listen)")
    cout.add_argument("--output", metavar="FILE", help="write the rows to FILE (appended to) instead of stdout")
    cout.add_argument("--duration", type=seconds, metavar="SECONDS", help="stop after this long")
    return consume


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    the_plan = plan_of(args, parser, late_side=args.late_topic is not None)
    try:
        settings = kafka_settings(args.kafka_config)
    except ValueError as error:
        parser.error(str(error))
    try:
        from ravik.kafka import PartitionedConsumer
        consumer = PartitionedConsumer(
            args.kafka, args.topic, args.group, the_plan, state_dir=args.state_dir, output_topic=args.output_topic,
            config=settings, checkpoint_every_s=args.checkpoint_every, max_future_ms=args.max_future_ms,
            late_topic=args.late_topic,
            on_error=lambda text: print(f"ravik consume: {text}", file=sys.stderr, flush=True))
    except ImportError as error:
        print(f"ravik consume: {error}", file=sys.stderr)
        return 1
    args.no_status = True
    writer = RowOutput(args, the_plan)
    stop = StopSignals()
    stop.install()
    deadline = time.monotonic() + args.duration if args.duration is not None else math.inf
    shown: list[int] | None = None
    try:
        print(f"ravik consume: member of group {args.group} on topic {args.topic}, "
              f"{describe_plan(the_plan, args.max_future_ms)}", file=sys.stderr, flush=True)
        while not stop.requested and time.monotonic() < deadline:
            for result in consumer.poll(0.2):
                if args.output_topic is None:
                    writer.write(result.columns)
            if consumer.assignment() != shown:
                shown = consumer.assignment()
                print(f"ravik consume: assigned partitions {shown}", file=sys.stderr, flush=True)
        if args.state_dir is None:
            # Nothing keeps the open windows: they come out now.
            for result in consumer.flush_windows():
                if args.output_topic is None:
                    writer.write(result.columns)
        totals: dict[str, int] = {}
        for stream in consumer.streams().values():
            stats = stream.stats()
            for key in stats:
                totals[key] = totals.get(key, 0) + stats[key]  # type: ignore[literal-required]
        consumer.close()
    finally:
        stop.restore()
        writer.close()
    print("ravik consume: stats " + json.dumps(totals), file=sys.stderr, flush=True)
    return 0
