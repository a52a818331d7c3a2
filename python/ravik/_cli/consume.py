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
    state = kafka.add_mutually_exclusive_group()
    state.add_argument("--state-dir", metavar="DIR",
                       help="checkpoint each partition's state to files here (storage that every member reaches "
                            "lets partitions move between machines with their state)")
    state.add_argument("--state-topic", nargs="?", const=True, metavar="TOPIC",
                       help="checkpoint each partition's state to a compacted Kafka topic (default "
                            "GROUP.ravik-state, created when missing): partitions move with their state, no "
                            "shared disk needed")
    kafka.add_argument("--exactly-once", action="store_true",
                       help="write results, states and consumed offsets in one Kafka transaction per checkpoint "
                            "(needs --output-topic; states go to the state topic): a read_committed reader of "
                            "the output sees every window once, whenever a member dies")
    kafka.add_argument("--checkpoint-every", type=seconds, default=5.0, metavar="SECONDS",
                       help="save and commit this often (default %(default)s)")
    kafka.add_argument("--kafka-config", action="append", default=[], metavar="KEY=VALUE",
                       help="a librdkafka setting for both clients (repeatable; each client gets the settings "
                            "it knows), e.g. security.protocol=SSL")
    kafka.add_argument("--consumer-config", action="append", default=[], metavar="KEY=VALUE",
                       help="a librdkafka consumer setting (repeatable), e.g. session.timeout.ms=10000 or "
                            "partition.assignment.strategy=cooperative-sticky")
    kafka.add_argument("--producer-config", action="append", default=[], metavar="KEY=VALUE",
                       help="a librdkafka producer setting (repeatable), e.g. linger.ms=50")
    kafka.add_argument("--timeout", type=seconds, default=30.0, metavar="SECONDS",
                       help="exit with an error when no broker answers within this long at the start, or a "
                            "checkpoint's deliveries take longer (default %(default)s)")
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
        consumer_settings = kafka_settings(args.consumer_config)
        producer_settings = kafka_settings(args.producer_config)
    except ValueError as error:
        parser.error(str(error))
    if args.exactly_once and args.output_topic is None:
        parser.error("--exactly-once needs --output-topic")
    if args.exactly_once and args.state_dir is not None:
        parser.error("--exactly-once keeps the state in the state topic: leave out --state-dir")

    def report(text: str) -> None:
        print(f"ravik consume: {text}", file=sys.stderr, flush=True)

    try:
        from ravik.kafka import PartitionedConsumer
        consumer = PartitionedConsumer(
            args.kafka, args.topic, args.group, the_plan, state_dir=args.state_dir, output_topic=args.output_topic,
            config=settings, consumer_config=consumer_settings, producer_config=producer_settings,
            checkpoint_every_s=args.checkpoint_every, max_future_ms=args.max_future_ms, late_topic=args.late_topic,
            state_topic=args.state_topic if args.state_topic is not None else False, exactly_once=args.exactly_once,
            timeout_s=args.timeout, on_error=report)
        consumer.wait_for_broker(args.timeout)
    except ImportError as error:
        report(str(error))
        return 1
    except (ConnectionError, TimeoutError) as error:
        report(str(error))
        return 2
    except Exception as error:  # the client's own errors (KafkaException): say it, exit non-zero
        report(f"cannot start: {error}")
        return 2
    args.no_status = True
    writer = RowOutput(args, the_plan)
    stop = StopSignals()
    stop.install()
    deadline = time.monotonic() + args.duration if args.duration is not None else math.inf
    shown: list[int] | None = None
    stored = args.state_dir is not None or args.state_topic is not None or args.exactly_once
    failed = False
    try:
        report(f"member of group {args.group} on topic {args.topic}, {describe_plan(the_plan, args.max_future_ms)}")
        report(f"waiting for an assignment from group {args.group}")
        while not stop.requested and time.monotonic() < deadline:
            for result in consumer.poll(0.2):
                if args.output_topic is None:
                    writer.write(result.columns)
            if consumer.assignment() != shown and (shown is not None or consumer.assignment()):
                shown = consumer.assignment()
                report(f"assigned partitions {shown}")
        if not stored:
            # Nothing keeps the open windows: they come out now.
            for result in consumer.flush_windows():
                if args.output_topic is None:
                    writer.write(result.columns)
        consumer.close()
    except Exception as error:
        failed = True
        report(f"stopped: {error}")
        consumer.close(save=False)
    finally:
        stop.restore()
        writer.close()
    report("stats " + json.dumps(consumer.stats()))
    return 1 if failed else 0
