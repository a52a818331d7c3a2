"""``relay``: UDP datagrams produced to a Kafka topic."""

from __future__ import annotations

import argparse
import math
import sys
import threading
import time

from .options import Parser, StopSignals, int_in, ipv4, kafka_settings, seconds


def add_parser(commands: argparse._SubParsersAction[Parser]) -> argparse.ArgumentParser:
    """The ``relay`` subcommand and its options."""
    relay = commands.add_parser(
        "relay", help="receive UDP datagrams and produce them to a Kafka topic",
        description="Receive flat JSON events over UDP and produce each datagram, unchanged, to a Kafka topic, "
                    "keyed by a field's text, so that UDP senders feed a consumer group. Datagrams that are not "
                    "flat JSON objects are counted, not forwarded. Needs confluent-kafka.")
    relay.add_argument("--host", type=ipv4, default="127.0.0.1", help="IPv4 address to bind (default %(default)s)")
    relay.add_argument("--port", type=int_in(0, 65535), required=True, help="UDP port (0 picks a free one)")
    relay.add_argument("--receivers", type=int_in(1, 256), default=1, metavar="N",
                       help="sockets receiving the port at once (default %(default)s)")
    relay.add_argument("--kafka", required=True, metavar="BROKERS", help="bootstrap servers")
    relay.add_argument("--topic", required=True, help="topic to produce to")
    relay.add_argument("--key-field", metavar="FIELD", help="message key: this field's value (the plan's group field)")
    relay.add_argument("--kafka-config", "--producer-config", dest="kafka_config", action="append", default=[],
                       metavar="KEY=VALUE", help="a librdkafka producer setting (repeatable)")
    relay.add_argument("--timeout", type=seconds, default=30.0, metavar="SECONDS",
                       help="give up when no broker answers at the start, or a message is not delivered, within "
                            "this long (default %(default)s)")
    relay.add_argument("--duration", type=seconds, metavar="SECONDS", help="stop after this long")
    return relay


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    try:
        settings = kafka_settings(args.kafka_config)
    except ValueError as error:
        parser.error(str(error))
    try:
        from ravik.kafka import RelaySummary, relay
        from ravik.kafka._relay import bind_sockets
        import confluent_kafka  # noqa: F401  (fail before binding the port)
    except ImportError:
        from ravik.kafka import INSTALL_HINT
        print(f"ravik relay: {INSTALL_HINT}", file=sys.stderr)
        return 1
    try:
        sockets = bind_sockets(args.host, args.port, args.receivers)
    except OSError as error:
        print(f"ravik relay: cannot listen on {args.host}:{args.port}: {error}", file=sys.stderr)
        return 1
    host, port = sockets[0].getsockname()
    print(f"ravik relay: listening on {host}:{port}, producing to {args.topic}", file=sys.stderr, flush=True)
    stop = StopSignals()
    stop.install()
    stopped = threading.Event()
    summary = RelaySummary()
    deadline = time.monotonic() + args.duration if args.duration is not None else math.inf

    def watch() -> None:
        while not stop.requested and time.monotonic() < deadline and not stopped.is_set():
            time.sleep(0.05)
        stopped.set()

    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        relay(sockets, args.kafka, args.topic, args.key_field, stop=stopped, config=settings, summary=summary,
              timeout_s=args.timeout)
    except ConnectionError as error:
        print(f"ravik relay: {error}", file=sys.stderr, flush=True)
        return 1
    finally:
        stopped.set()
        watcher.join()
        for sock in sockets:
            sock.close()
        stop.restore()
    print(f"ravik relay: received {summary.received}, delivered {summary.delivered}, failed {summary.failed}"
          + (f", not events {summary.malformed}" if summary.malformed else ""), file=sys.stderr, flush=True)
    return 0 if summary.failed == 0 else 1
