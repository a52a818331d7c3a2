"""``kafka-mock``: librdkafka's in-process mock cluster, to try relay and consume on one machine."""

from __future__ import annotations

import argparse
import math
import sys
import time

from .options import Parser, StopSignals, int_in, seconds


def add_parser(commands: argparse._SubParsersAction[Parser]) -> argparse.ArgumentParser:
    """The ``kafka-mock`` subcommand and its options."""
    mock = commands.add_parser(
        "kafka-mock", help="run a local mock Kafka cluster (for trying relay and consume)",
        description="Start librdkafka's mock cluster in this process and print its bootstrap address on stdout; "
                    "it runs until Ctrl-C (or --duration). Topics are created on first use with 4 partitions, "
                    "or with --partitions when named by --topic. Everything lives in memory: for trying and "
                    "testing, not for keeping data. Needs confluent-kafka.")
    mock.add_argument("--brokers", type=int_in(1, 16), default=1, metavar="N", help="brokers (default %(default)s)")
    mock.add_argument("--topic", action="append", default=[], metavar="TOPIC",
                      help="create this topic with --partitions partitions (repeatable)")
    mock.add_argument("--partitions", type=int_in(1, 10_000), default=4, metavar="N",
                      help="partitions of each --topic (default %(default)s)")
    mock.add_argument("--duration", type=seconds, metavar="SECONDS", help="stop after this long")
    return mock


def run(args: argparse.Namespace) -> int:
    try:
        from ravik.kafka import MockCluster
        cluster = MockCluster(args.brokers)
    except ImportError:
        from ravik.kafka import INSTALL_HINT
        print(f"ravik kafka-mock: {INSTALL_HINT}", file=sys.stderr)
        return 1
    except (OSError, RuntimeError) as error:
        print(f"ravik kafka-mock: {error}", file=sys.stderr)
        return 1
    stop = StopSignals()
    stop.install()
    try:
        for topic in args.topic:
            cluster.create_topic(topic, args.partitions)
        brokers = cluster.bootstrap_servers
        print(brokers, flush=True)
        print(f"ravik kafka-mock: bootstrap servers {brokers}; try python -m ravik relay --port 9999 --kafka {brokers} "
              f"--topic events --key-field sensor, and python -m ravik consume --kafka {brokers} --topic events "
              "--group g ...; Ctrl-C stops it", file=sys.stderr, flush=True)
        deadline = time.monotonic() + args.duration if args.duration is not None else math.inf
        while not stop.requested and time.monotonic() < deadline:
            time.sleep(0.1)
    except RuntimeError as error:
        print(f"ravik kafka-mock: {error}", file=sys.stderr)
        return 1
    finally:
        stop.restore()
        cluster.close()
    return 0
