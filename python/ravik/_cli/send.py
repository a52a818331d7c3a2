"""``send``: synthetic sensor events over UDP."""

from __future__ import annotations

import argparse
import secrets
import sys

from ravik._send import SendOptions, send_events

from .options import Parser, StopSignals, int_in, rate, seconds, share


def add_parser(commands: argparse._SubParsersAction[Parser]) -> argparse.ArgumentParser:
    """The ``send`` subcommand and its options."""
    send = commands.add_parser(
        "send", help="send synthetic sensor events over UDP",
        description="Send synthetic sensor events, one flat JSON object per datagram, with fields "
                    "id, sensor, value and timestamp. Runs until --count or --duration is reached, or Ctrl-C. "
                    "A summary goes to stderr.")
    send.add_argument("--host", default="127.0.0.1", help="destination host (default %(default)s)")
    send.add_argument("--port", type=int_in(1, 65535), default=9999, help="destination UDP port (default %(default)s)")
    send.add_argument("--rate", type=rate, default=100.0, help="datagrams per second; 0 = as fast as possible (default 100)")
    send.add_argument("--count", type=int_in(0), metavar="N", help="stop after N datagrams")
    send.add_argument("--duration", type=seconds, metavar="SECONDS", help="stop after this long")
    send.add_argument("--sensors", type=int_in(1, 1_000_000), default=5, metavar="N", help="number of sensors, round robin (default %(default)s)")
    send.add_argument("--late", type=share, default=0.0, metavar="SHARE",
                      help="share of events sent late (0.05 or 5%%; default 0)")
    send.add_argument("--late-by-ms", type=int_in(0), default=5000, metavar="N",
                      help="how far back a late event's timestamp is moved (default %(default)s)")
    send.add_argument("--duplicates", type=share, default=0.0, metavar="SHARE",
                      help="share of datagrams that resend a recent event (default 0)")
    send.add_argument("--step-ms", type=int_in(0), metavar="N",
                      help="synthetic clock: event n gets timestamp START + n*N instead of the wall clock")
    send.add_argument("--start-ms", type=int_in(-(2**62), 2**62), metavar="START",
                      help="first timestamp of the synthetic clock (default: now)")
    send.add_argument("--seed", type=int, help="random seed, for a reproducible sequence")
    send.add_argument("--id-prefix", metavar="TEXT", help="prefix of event ids (default: random per run)")
    return send


def run(args: argparse.Namespace) -> int:
    options = SendOptions(
        host=args.host, port=args.port, rate=args.rate, count=args.count, duration=args.duration,
        sensors=args.sensors, late_share=args.late, duplicate_share=args.duplicates,
        late_by_ms=args.late_by_ms, step_ms=args.step_ms, start_ms=args.start_ms, seed=args.seed,
        id_prefix=args.id_prefix if args.id_prefix is not None else secrets.token_hex(4))
    stop = StopSignals()
    stop.install()
    try:
        summary = send_events(options, lambda: stop.requested)
    except OSError as error:
        print(f"ravik send: cannot send to {args.host}:{args.port}: {error}", file=sys.stderr)
        return 1
    finally:
        stop.restore()
    rate = summary.datagrams / summary.seconds if summary.seconds > 0 else 0.0
    print(f"ravik send: sent {summary.datagrams} datagrams to {args.host}:{args.port} in {summary.seconds:.2f} s "
          f"({rate:.0f}/s): {summary.events} events, {summary.late} of them late, "
          f"{summary.duplicates} duplicates", file=sys.stderr)
    return 0
