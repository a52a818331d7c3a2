"""``replay``: a file of JSON lines sent as UDP datagrams."""

from __future__ import annotations

import argparse
import sys

from ravik._lines import replay

from .options import Parser, StopSignals, int_in, ipv4, rate


def add_parser(commands: argparse._SubParsersAction[Parser]) -> argparse.ArgumentParser:
    """The ``replay`` subcommand and its options."""
    replay_cmd = commands.add_parser(
        "replay", help="send a file of JSON lines as UDP datagrams",
        description="Send each non-blank line of FILE (one flat JSON object per line, as a listener "
                    "receives them) as one UDP datagram. A summary goes to stderr.")
    replay_cmd.add_argument("file", metavar="FILE", help="file of JSON lines ('-' for standard input)")
    replay_cmd.add_argument("--host", default="127.0.0.1", help="destination host (default %(default)s)")
    replay_cmd.add_argument("--port", type=int_in(1, 65535), default=9999,
                            help="destination UDP port (default %(default)s)")
    replay_cmd.add_argument("--interface", type=ipv4, metavar="ADDR",
                            help="address of the interface multicast datagrams leave by (default: by route)")
    pace = replay_cmd.add_mutually_exclusive_group()
    pace.add_argument("--rate", type=rate, default=10_000.0, metavar="N",
                      help="datagrams per second; 0 = as fast as possible (default 10000)")
    pace.add_argument("--as-fast-as-possible", action="store_true",
                      help="no pacing (a receiver that falls behind loses datagrams in its kernel buffer)")
    return replay_cmd


def run(args: argparse.Namespace) -> int:
    rate = None if args.as_fast_as_possible or args.rate == 0 else args.rate
    stop = StopSignals()
    stop.install()

    def too_long(number: int) -> None:
        print(f"ravik replay: line {number} is longer than one datagram holds (65507 bytes); skipped",
              file=sys.stderr)

    try:
        if args.file == "-":
            summary = replay(sys.stdin.buffer, args.host, args.port, rate, lambda: stop.requested, too_long,
                             args.interface)
        else:
            with open(args.file, "rb") as source:
                summary = replay(source, args.host, args.port, rate, lambda: stop.requested, too_long,
                                 args.interface)
    except OSError as error:
        print(f"ravik replay: {error}", file=sys.stderr)
        return 1
    finally:
        stop.restore()
    per_second = summary.datagrams / summary.seconds if summary.seconds > 0 else 0.0
    print(f"ravik replay: sent {summary.datagrams} datagrams to {args.host}:{args.port} in {summary.seconds:.2f} s "
          f"({per_second:.0f}/s); {summary.skipped} lines skipped", file=sys.stderr)
    if stop.requested:
        print(f"ravik replay: interrupted after line {summary.lines}", file=sys.stderr)
        return 130
    return 0
