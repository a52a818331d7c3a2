"""``python -m ravik``: one module per command (listen, send, replay, consume,
relay, kafka-mock) over shared option and output helpers."""

from __future__ import annotations

import argparse
import io
import sys
from collections.abc import Sequence

from . import consume, kafka_mock, listen, relay, replay, send
from .options import PROG, Parser


def _parsers() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    parser = Parser(
        prog=PROG, description="Windowed aggregation of flat JSON events received over UDP.")
    commands = parser.add_subparsers(dest="command", metavar="{listen,send,replay,consume,relay,kafka-mock}", required=True)
    listen_parser = listen.add_parser(commands)
    send.add_parser(commands)
    replay.add_parser(commands)
    consume.add_parser(commands)
    relay.add_parser(commands)
    kafka_mock.add_parser(commands)
    return parser, listen_parser


def build_parser() -> argparse.ArgumentParser:
    """The parser of every subcommand."""
    return _parsers()[0]


def main(argv: Sequence[str] | None = None) -> int:
    # Field names that are not UTF-8 reach Python as lone surrogates (each
    # undecodable byte its own); printed as escapes, they never stop the output.
    for out in (sys.stdout, sys.stderr):
        if isinstance(out, io.TextIOWrapper):
            out.reconfigure(errors="backslashreplace")
    parser, listen_parser = _parsers()
    args = parser.parse_args(argv)
    try:
        if args.command == "listen":
            return listen.run(args, listen_parser)
        if args.command == "replay":
            return replay.run(args)
        if args.command == "consume":
            return consume.run(args, parser)
        if args.command == "relay":
            return relay.run(args, parser)
        if args.command == "kafka-mock":
            return kafka_mock.run(args)
        return send.run(args)
    except KeyboardInterrupt:
        # A second Ctrl-C while shutting down: leave at once, nothing saved.
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
