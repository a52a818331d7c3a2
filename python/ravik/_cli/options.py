"""What the commands share: argument types, the parser, the plan options,
Kafka settings, and the stop signals."""

from __future__ import annotations

import argparse
import difflib
import ipaddress
import math
import os
import signal
import sys
from collections.abc import Callable
from types import FrameType
from typing import Any, NoReturn

from ravik._plan import AGGREGATE_FUNCTIONS, Filter, plan
from ravik._types import PlanDict


def _program_name() -> str:
    """What the user typed to run this: the console script's name, or ``python -m ravik``."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "python -m ravik" if name in ("", "__main__.py", "-c") else name


PROG = _program_name()

# Defaults that suit senders on several hosts: clocks a second apart are not
# late, and one event stamped far in the future cannot make every later one
# late (nor poison the checkpoint).
DEFAULT_WATERMARK_MS = 1000
DEFAULT_MAX_FUTURE_MS = 3_600_000


# ----------------------------------------------------------------- arguments

def ipv4(text: str) -> str:
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a dotted IPv4 address such as 127.0.0.1") from None


def int_in(low: int, high: int | None = None) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not an integer") from None
        if value < low or (high is not None and value > high):
            span = f"from {low} to {high}" if high is not None else f"at least {low}"
            raise argparse.ArgumentTypeError(f"{value} is out of range (must be {span})")
        return value

    return parse


def seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} must be a positive number of seconds")
    return value


def rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (value >= 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} must be 0 (as fast as possible) or a positive rate")
    return value


def share(text: str) -> float:
    try:
        value = float(text[:-1]) / 100 if text.endswith("%") else float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a share such as 0.05 or 5%") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text} must be a share from 0 to 1 (or 0% to 100%)")
    return value


def max_future(text: str) -> int | None:
    if text == "none":
        return None
    return int_in(0)(text)


def filter_arg(text: str) -> Filter:
    try:
        return Filter.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


class Parser(argparse.ArgumentParser):
    """No abbreviated options (``--watermark`` is not ``--watermark-ms``), and
    a suggestion for an option that looks like a typo."""

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        kwargs.setdefault("allow_abbrev", False)
        super().__init__(*args, **kwargs)

    def _options(self) -> list[str]:
        names: list[str] = []
        for action in self._actions:
            names += [o for o in action.option_strings if o.startswith("--")]
            if isinstance(action, argparse._SubParsersAction):
                for sub in action.choices.values():
                    names += sub._options() if isinstance(sub, Parser) else []
        return names

    def error(self, message: str) -> NoReturn:
        prefix = "unrecognized arguments: "
        if message.startswith(prefix):
            known = sorted(set(self._options()))
            hints = []
            for word in message[len(prefix):].split():
                option = word.split("=", 1)[0]
                if option.startswith("--") and (close := difflib.get_close_matches(option, known, n=1, cutoff=0.6)):
                    hints.append(f"{option}: did you mean {close[0]}?")
            if hints:
                message += " (" + "; ".join(hints) + ")"
        super().error(message)


def align_arg(text: str) -> str | int:
    if text in ("epoch", "first"):
        return text
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not 'epoch', 'first' or an origin in ms") from None


def agg_arg(text: str) -> tuple[str, str]:
    name, eq, spec = text.partition("=")
    if not eq or not name or not spec:
        raise argparse.ArgumentTypeError(f"{text!r} is not NAME=FUNC:FIELD[:ARG]")
    return name, spec


def add_plan_arguments(parser: argparse.ArgumentParser) -> None:
    win = parser.add_argument_group("plan")
    win.add_argument("--window", type=int_in(1), metavar="SECONDS", help="tumbling window length in seconds")
    win.add_argument("--by", metavar="FIELD", help="group windows by this field")
    win.add_argument("--mean", metavar="FIELD", help="numeric field each window averages")
    win.add_argument("--alias", metavar="NAME", help="output column of the mean (default mean_<FIELD>)")
    win.add_argument("--time-field", metavar="FIELD", help="integer event-time field in ms (default timestamp)")
    win.add_argument("--watermark-ms", type=int_in(0), default=DEFAULT_WATERMARK_MS, metavar="N",
                     help="how far the watermark trails the newest event time (default %(default)s, "
                          "so senders' clocks may differ by that much)")
    win.add_argument("--max-future-ms", type=max_future, default=DEFAULT_MAX_FUTURE_MS, metavar="N",
                     help="drop (and count) events whose time lies more than N ms ahead of this host's clock "
                          "(default %(default)s, one hour; 'none' keeps them)")
    win.add_argument("--lateness-ms", type=int_in(0), metavar="N",
                     help="extra grace for late events and for closing windows")
    win.add_argument("--id-field", metavar="FIELD", help="drop events whose FIELD value was seen before")
    win.add_argument("--keep-late", action="store_true", help="count late events but keep them (default: drop)")
    win.add_argument("--align", type=align_arg, default="epoch", metavar="epoch|first|MS",
                     help="window origin: 'epoch' (the default: windows [k*w, (k+1)*w) line up across receivers, "
                          "partitions, machines and restarts), 'first' (the first event's time) or an origin in ms")
    win.add_argument("--idle-close-ms", type=int_in(1), metavar="N",
                     help="when no event has arrived for N ms, the watermark advances with the wall clock, so the "
                          "last windows of senders that went quiet close")
    win.add_argument("--dedup-horizon-ms", type=int_in(0), metavar="N",
                     help="with --id-field: forget an id once the newest event time is N ms past it (at least "
                          "--watermark-ms plus --lateness-ms); bounds the memory ids take")
    win.add_argument("--hop", type=int_in(1), metavar="SECONDS",
                     help="hopping windows: a --window long window starts every SECONDS (the window a multiple of it)")
    win.add_argument("--session-gap", type=int_in(1), metavar="SECONDS",
                     help="session windows instead of --window: a group's session closes after SECONDS without "
                          "an event")
    win.add_argument("--agg", dest="aggregates", type=agg_arg, action="append", default=[],
                     metavar="NAME=FUNC:FIELD[:ARG]",
                     help="an aggregate per window, output column NAME; FUNC one of " + ", ".join(AGGREGATE_FUNCTIONS)
                          + " (ARG: a quantile's rank, e.g. p99=quantile:latency_ms:0.99); repeatable")
    win.add_argument("--filter", dest="filters", type=filter_arg, action="append", default=[],
                     metavar="'FIELD OP VALUE'", help="keep only matching events; repeatable (all must match)")


def plan_of(args: argparse.Namespace, parser: argparse.ArgumentParser, late_side: bool = False) -> PlanDict:
    """The plan the plan options describe (a usage error when they do not fit)."""
    windowed = args.window is not None or args.session_gap is not None
    if args.window is not None and args.session_gap is not None:
        parser.error("--session-gap makes session windows: it goes without --window")
    if args.hop is not None and args.window is None:
        parser.error("--hop needs --window SECONDS")
    if not windowed:
        for flag, value in (("--mean", args.mean), ("--by", args.by), ("--alias", args.alias),
                            ("--time-field", args.time_field), ("--agg", args.aggregates or None)):
            if value is not None:
                parser.error(f"{flag} needs --window SECONDS (or --session-gap SECONDS)")
    elif args.mean is None and not args.aggregates:
        parser.error("--window needs --mean FIELD: each window reports a count and the mean of one field "
                     "(or --agg NAME=FUNC:FIELD)")
    names = [name for name, _ in args.aggregates]
    if len(set(names)) != len(names):
        parser.error("--agg names must differ")
    try:
        return plan(
            filters=args.filters,
            window_seconds=args.window,
            hop_seconds=args.hop,
            session_gap_seconds=args.session_gap,
            aggregates=dict(args.aggregates) or None,
            by=args.by,
            time_field=args.time_field or "timestamp",
            mean=args.mean,
            alias=args.alias,
            watermark_ms=args.watermark_ms,
            allowed_lateness_ms=args.lateness_ms,
            event_id_field=args.id_field,
            drop_late=not args.keep_late,
            align=None if args.window is None or args.align == "first" else args.align,
            idle_close_ms=args.idle_close_ms,
            late="side" if late_side else None,
            dedup_horizon_ms=args.dedup_horizon_ms,
        )
    except (TypeError, ValueError) as error:
        parser.error(str(error))


def describe_plan(the_plan: PlanDict, max_future_ms: int | None) -> str:
    window, mean = the_plan["window"], the_plan["mean"]
    options = the_plan.get("options")
    aggregates = (options.get("aggregates") if options is not None else None) or []
    if window is None or (mean is None and not aggregates):
        text = "passing events through"
    else:
        gap = options.get("session_gap_ms") if options is not None else None
        hop = options.get("hop_ms") if options is not None else None
        if gap is not None:
            text = f"sessions closing after {gap // 1000} s without an event"
        else:
            text = f"{window['seconds']} s windows" + (f" every {hop // 1000} s" if hop is not None else "")
        if window["by"]:
            text += f" by {window['by']}"
        if mean is not None:
            text += f", mean of {mean['field']}"
        for name, function, field, _ in aggregates:
            text += f", {name} = {function} of {field}"
    text += f", watermark {the_plan['watermark_ms'] or 0} ms"
    if options is not None:
        origin = options["align_origin_ms"]
        if origin is not None:
            text += ", windows aligned to the epoch" if origin == 0 else f", windows aligned to {origin} ms"
        if options["idle_close_ms"] is not None:
            text += f", closing after {options['idle_close_ms']} ms idle"
        if options["dedup_horizon_ms"] is not None:
            text += f", ids kept {options['dedup_horizon_ms']} ms"
        if options["late"] == "side":
            text += ", late events kept aside"
    if max_future_ms is not None:
        text += f", dropping events more than {max_future_ms} ms ahead"
    return text


def kafka_settings(pairs: list[str]) -> dict[str, str]:
    settings = {}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep or not key:
            raise ValueError(f"--kafka-config {pair!r} is not KEY=VALUE")
        settings[key] = value
    return settings



# ------------------------------------------------------------------- signals

class StopSignals:
    """Turns the first SIGINT/SIGTERM into a request to stop; a second one aborts."""

    def __init__(self) -> None:
        self.requested = False
        self._previous: dict[signal.Signals, Any] = {}

    def install(self) -> None:
        for sig in (signal.SIGINT, signal.SIGTERM):
            self._previous[sig] = signal.signal(sig, self._handle)

    def restore(self) -> None:
        for sig, handler in self._previous.items():
            signal.signal(sig, handler)
        self._previous.clear()

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.requested:
            raise KeyboardInterrupt
        self.requested = True
