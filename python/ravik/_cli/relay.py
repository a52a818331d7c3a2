"""``relay``: UDP datagrams produced to a Kafka topic."""

from __future__ import annotations

import argparse
import math
import sys
import threading
import time

from ravik._receivers import udp_stream

from .options import Parser, StopSignals, int_in, ipv4, kafka_settings, seconds


def add_parser(commands: argparse._SubParsersAction[Parser]) -> argparse.ArgumentParser:
    """The ``relay`` subcommand and its options."""
    relay = commands.add_parser(
        "relay", help="receive UDP datagrams and produce them to a Kafka topic",
        description="Receive flat JSON events over UDP and produce each to a Kafka topic, keyed by a field, "
                    "so that UDP senders feed a consumer group. Needs confluent-kafka.")
    relay.add_argument("--host", type=ipv4, default="127.0.0.1", help="IPv4 address to bind (default %(default)s)")
    relay.add_argument("--port", type=int_in(0, 65535), required=True, help="UDP port (0 picks a free one)")
    relay.add_argument("--receivers", type=int_in(1, 256), default=1, metavar="N",
                       help="sockets receiving the port at once (default %(default)s)")
    relay.add_argument("--kafka", required=True, metavar="BROKERS", help="bootstrap servers")
    relay.add_argument("--topic", required=True, help="topic to produce to")
    relay.add_argument("--key-field", metavar="FIELD", help="message key: this field's value (the plan's group field)")
    relay.add_argument("--kafka-config", action="append", default=[], metavar="KEY=VALUE",
                       help="a librdkafka producer setting (repeatable)")
    relay.add_argument("--duration", type=seconds, metavar="SECONDS", help="stop after this long")
    return relay


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    try:
        settings = kafka_settings(args.kafka_config)
    except ValueError as error:
        parser.error(str(error))
    try:
        from ravik.kafka import RelaySummary, relay
        import confluent_kafka  # noqa: F401  (fail before binding the port)
    except ImportError:
        from ravik.kafka import INSTALL_HINT
        print(f"ravik relay: {INSTALL_HINT}", file=sys.stderr)
        return 1
    try:
        stream = udp_stream(args.host, args.port, receivers=args.receivers)
    except (RuntimeError, ValueError) as error:
        print(f"ravik relay: cannot listen on {args.host}:{args.port}: {error}", file=sys.stderr)
        return 1
    host, port = stream.address()
    print(f"ravik relay: listening on {host}:{port}, producing to {args.topic}", file=sys.stderr, flush=True)
    stop = StopSignals()
    stop.install()
    summary = RelaySummary()
    deadline = time.monotonic() + args.duration if args.duration is not None else math.inf

    def watch() -> None:
        while not stop.requested and time.monotonic() < deadline:
            time.sleep(0.05)
        stream.close()

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        relay(stream, args.kafka, args.topic, args.key_field, config=settings, summary=summary)
    finally:
        stop.requested = True
        watcher.join()
        stream.close()
        stop.restore()
    print(f"ravik relay: received {summary.received}, delivered {summary.delivered}, failed {summary.failed}",
          file=sys.stderr, flush=True)
    return 0 if summary.failed == 0 else 1
