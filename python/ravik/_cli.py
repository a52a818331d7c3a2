"""``python -m ravik``: a UDP listener that prints closed windows, a test sender, a replayer."""

from __future__ import annotations

import argparse
import contextlib
import difflib
import io
import ipaddress
import json
import math
import os
import secrets
import signal
import sys
import threading
import time
from collections.abc import Callable, Sequence
from types import FrameType
from typing import Any, NoReturn, TextIO

from _ravik import NativeStream
from ravik import _native
from ravik._batches import batches
from ravik._diagnostics import diagnostics
from ravik._lines import replay
from ravik._metrics import INSTALL_HINT, MetricsServer, serve_metrics
from ravik._multicast import join_multicast
from ravik._output import FORMATS, RowWriter, make_writer
from ravik._plan import Filter, plan
from ravik._receivers import udp_stream
from ravik._send import SendOptions, send_events
from ravik._types import Columns, PlanDict

def _program_name() -> str:
    """What the user typed to run this: the console script's name, or ``python -m ravik``."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "python -m ravik" if name in ("", "__main__.py", "-c") else name


PROG = _program_name()

# How long one wait for a batch may last: it bounds how late a stop request,
# the status line or a periodic save is handled (the wait itself does not
# hold the interpreter lock).
_POLL_MS = 100
_STATUS_INTERVAL_S = 0.25
# Defaults that suit senders on several hosts: clocks a second apart are not
# late, and one event stamped far in the future cannot make every later one
# late (nor poison the checkpoint).
DEFAULT_WATERMARK_MS = 1000
DEFAULT_MAX_FUTURE_MS = 3_600_000
# How a checkpoint file begins; the listener refuses to overwrite other files.
_CHECKPOINT_START = b"max_event_time\t"


# ----------------------------------------------------------------- arguments

def _ipv4(text: str) -> str:
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a dotted IPv4 address such as 127.0.0.1") from None


def _int_in(low: int, high: int | None = None) -> Callable[[str], int]:
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


def _seconds(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number of seconds") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} must be a positive number of seconds")
    return value


def _rate(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not (value >= 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"{text} must be 0 (as fast as possible) or a positive rate")
    return value


def _share(text: str) -> float:
    try:
        value = float(text[:-1]) / 100 if text.endswith("%") else float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a share such as 0.05 or 5%") from None
    if not 0.0 <= value <= 1.0:
        raise argparse.ArgumentTypeError(f"{text} must be a share from 0 to 1 (or 0% to 100%)")
    return value


def _max_future(text: str) -> int | None:
    if text == "none":
        return None
    return _int_in(0)(text)


def _filter(text: str) -> Filter:
    try:
        return Filter.parse(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None


class _Parser(argparse.ArgumentParser):
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
                    names += sub._options() if isinstance(sub, _Parser) else []
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


def build_parser() -> argparse.ArgumentParser:
    """The parser of both subcommands."""
    return _parsers()[0]


def _add_plan_arguments(parser: argparse.ArgumentParser) -> None:
    win = parser.add_argument_group("plan")
    win.add_argument("--window", type=_int_in(1), metavar="SECONDS", help="tumbling window length in seconds")
    win.add_argument("--by", metavar="FIELD", help="group windows by this field")
    win.add_argument("--mean", metavar="FIELD", help="numeric field each window averages")
    win.add_argument("--alias", metavar="NAME", help="output column of the mean (default mean_<FIELD>)")
    win.add_argument("--time-field", metavar="FIELD", help="integer event-time field in ms (default timestamp)")
    win.add_argument("--watermark-ms", type=_int_in(0), default=DEFAULT_WATERMARK_MS, metavar="N",
                     help="how far the watermark trails the newest event time (default %(default)s, "
                          "so senders' clocks may differ by that much)")
    win.add_argument("--max-future-ms", type=_max_future, default=DEFAULT_MAX_FUTURE_MS, metavar="N",
                     help="drop (and count) events whose time lies more than N ms ahead of this host's clock "
                          "(default %(default)s, one hour; 'none' keeps them)")
    win.add_argument("--lateness-ms", type=_int_in(0), metavar="N",
                     help="extra grace for late events and for closing windows")
    win.add_argument("--id-field", metavar="FIELD", help="drop events whose FIELD value was seen before")
    win.add_argument("--keep-late", action="store_true", help="count late events but keep them (default: drop)")
    win.add_argument("--filter", dest="filters", type=_filter, action="append", default=[],
                     metavar="'FIELD OP VALUE'", help="keep only matching events; repeatable (all must match)")


def _parsers() -> tuple[argparse.ArgumentParser, argparse.ArgumentParser]:
    parser = _Parser(
        prog=PROG, description="Windowed aggregation of flat JSON events received over UDP.")
    commands = parser.add_subparsers(dest="command", metavar="{listen,send,replay,consume,relay}", required=True)

    listen = commands.add_parser(
        "listen", help="receive events over UDP and print each window as it closes",
        description="Receive flat JSON events over UDP and print each window row as it closes. "
                    "Rows go to stdout; messages, the live status (on a terminal) and the final "
                    "stats go to stderr. Ctrl-C or SIGTERM ends it cleanly.")
    net = listen.add_argument_group("network")
    net.add_argument("--host", type=_ipv4, help="IPv4 address to bind (default 127.0.0.1, or the multicast group)")
    net.add_argument("--port", type=_int_in(0, 65535), default=9999,
                     help="UDP port (default %(default)s; 0 picks a free port, reported on stderr)")
    net.add_argument("--multicast-group", type=_ipv4, metavar="GROUP",
                     help="join this IPv4 multicast group (224.0.0.0/4) and receive its datagrams")
    net.add_argument("--interface", type=_ipv4, metavar="ADDR",
                     help="with --multicast-group: the address of the interface to join on (default: by route)")
    _add_plan_arguments(listen)
    out = listen.add_argument_group("output and state")
    out.add_argument("--format", choices=FORMATS,
                     help="row format (default table on stdout; with --output, csv for *.csv files, else jsonl)")
    out.add_argument("--output", metavar="FILE", help="write the rows to FILE (appended to) instead of stdout")
    out.add_argument("--metrics-port", type=_int_in(0, 65535), metavar="N",
                     help="serve the counters for Prometheus at http://ADDR:N/metrics (needs prometheus_client)")
    out.add_argument("--metrics-addr", type=_ipv4, default="127.0.0.1", metavar="ADDR",
                     help="address of the metrics endpoint (default %(default)s; 0.0.0.0 for every interface)")
    out.add_argument("--checkpoint", metavar="PATH", help="restore state from PATH at start, save it at exit")
    out.add_argument("--checkpoint-every", type=_seconds, metavar="SECONDS",
                     help="also save the checkpoint this often (default 10 with --checkpoint)")
    out.add_argument("--force", action="store_true",
                     help="use --checkpoint PATH even when PATH exists and is not a checkpoint (it is overwritten)")
    out.add_argument("--duration", type=_seconds, metavar="SECONDS", help="stop after this long (default: run until stopped)")
    out.add_argument("--no-status", action="store_true", help="no live status line, even on a terminal")
    tune = listen.add_argument_group("stream tuning")
    tune.add_argument("--batch-size", type=_int_in(1, 2**32 - 1), default=4096, metavar="N", help="most events per batch (default %(default)s)")
    tune.add_argument("--linger-ms", type=_int_in(1, 60_000), default=10, metavar="N", help="ms between batch cuts (default %(default)s)")
    tune.add_argument("--receivers", type=_int_in(1, 256), default=1, metavar="N",
                      help="sockets (and threads) receiving the port at once, with SO_REUSEPORT; helps "
                           "with many senders (default %(default)s)")
    tune.add_argument("--capacity", type=_int_in(1, 2**32 - 1), default=1_000_000, metavar="N",
                      help="most queued events; more are dropped and counted (default %(default)s)")

    send = commands.add_parser(
        "send", help="send synthetic sensor events over UDP",
        description="Send synthetic sensor events, one flat JSON object per datagram, with fields "
                    "id, sensor, value and timestamp. Runs until --count or --duration is reached, or Ctrl-C. "
                    "A summary goes to stderr.")
    send.add_argument("--host", default="127.0.0.1", help="destination host (default %(default)s)")
    send.add_argument("--port", type=_int_in(1, 65535), default=9999, help="destination UDP port (default %(default)s)")
    send.add_argument("--rate", type=_rate, default=100.0, help="datagrams per second; 0 = as fast as possible (default 100)")
    send.add_argument("--count", type=_int_in(0), metavar="N", help="stop after N datagrams")
    send.add_argument("--duration", type=_seconds, metavar="SECONDS", help="stop after this long")
    send.add_argument("--sensors", type=_int_in(1, 1_000_000), default=5, metavar="N", help="number of sensors, round robin (default %(default)s)")
    send.add_argument("--late", type=_share, default=0.0, metavar="SHARE",
                      help="share of events sent late (0.05 or 5%%; default 0)")
    send.add_argument("--late-by-ms", type=_int_in(0), default=5000, metavar="N",
                      help="how far back a late event's timestamp is moved (default %(default)s)")
    send.add_argument("--duplicates", type=_share, default=0.0, metavar="SHARE",
                      help="share of datagrams that resend a recent event (default 0)")
    send.add_argument("--step-ms", type=_int_in(0), metavar="N",
                      help="synthetic clock: event n gets timestamp START + n*N instead of the wall clock")
    send.add_argument("--start-ms", type=_int_in(-(2**62), 2**62), metavar="START",
                      help="first timestamp of the synthetic clock (default: now)")
    send.add_argument("--seed", type=int, help="random seed, for a reproducible sequence")
    send.add_argument("--id-prefix", metavar="TEXT", help="prefix of event ids (default: random per run)")

    replay_cmd = commands.add_parser(
        "replay", help="send a file of JSON lines as UDP datagrams",
        description="Send each non-blank line of FILE (one flat JSON object per line, as a listener "
                    "receives them) as one UDP datagram. A summary goes to stderr.")
    replay_cmd.add_argument("file", metavar="FILE", help="file of JSON lines ('-' for standard input)")
    replay_cmd.add_argument("--host", default="127.0.0.1", help="destination host (default %(default)s)")
    replay_cmd.add_argument("--port", type=_int_in(1, 65535), default=9999,
                            help="destination UDP port (default %(default)s)")
    replay_cmd.add_argument("--interface", type=_ipv4, metavar="ADDR",
                            help="address of the interface multicast datagrams leave by (default: by route)")
    pace = replay_cmd.add_mutually_exclusive_group()
    pace.add_argument("--rate", type=_rate, default=10_000.0, metavar="N",
                      help="datagrams per second; 0 = as fast as possible (default 10000)")
    pace.add_argument("--as-fast-as-possible", action="store_true",
                      help="no pacing (a receiver that falls behind loses datagrams in its kernel buffer)")

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
    kafka.add_argument("--state-dir", metavar="DIR",
                       help="checkpoint each partition's state here; offsets are committed only after a checkpoint "
                            "covers them (shared storage lets partitions move between machines with their state)")
    kafka.add_argument("--checkpoint-every", type=_seconds, default=5.0, metavar="SECONDS",
                       help="save and commit this often (default %(default)s)")
    kafka.add_argument("--kafka-config", action="append", default=[], metavar="KEY=VALUE",
                       help="a librdkafka setting for the clients (repeatable), e.g. session.timeout.ms=10000")
    _add_plan_arguments(consume)
    cout = consume.add_argument_group("output")
    cout.add_argument("--format", choices=FORMATS, help="row format (as for listen)")
    cout.add_argument("--output", metavar="FILE", help="write the rows to FILE (appended to) instead of stdout")
    cout.add_argument("--duration", type=_seconds, metavar="SECONDS", help="stop after this long")

    relay = commands.add_parser(
        "relay", help="receive UDP datagrams and produce them to a Kafka topic",
        description="Receive flat JSON events over UDP and produce each to a Kafka topic, keyed by a field, "
                    "so that UDP senders feed a consumer group. Needs confluent-kafka.")
    relay.add_argument("--host", type=_ipv4, default="127.0.0.1", help="IPv4 address to bind (default %(default)s)")
    relay.add_argument("--port", type=_int_in(0, 65535), required=True, help="UDP port (0 picks a free one)")
    relay.add_argument("--receivers", type=_int_in(1, 256), default=1, metavar="N",
                       help="sockets receiving the port at once (default %(default)s)")
    relay.add_argument("--kafka", required=True, metavar="BROKERS", help="bootstrap servers")
    relay.add_argument("--topic", required=True, help="topic to produce to")
    relay.add_argument("--key-field", metavar="FIELD", help="message key: this field's value (the plan's group field)")
    relay.add_argument("--kafka-config", action="append", default=[], metavar="KEY=VALUE",
                       help="a librdkafka producer setting (repeatable)")
    relay.add_argument("--duration", type=_seconds, metavar="SECONDS", help="stop after this long")
    return parser, listen


# ------------------------------------------------------------------- signals

class _StopSignals:
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


# -------------------------------------------------------------------- listen

class _StatusLine:
    """One line on a terminal, rewritten in place."""

    def __init__(self, out: TextIO) -> None:
        self._out = out
        self._shown = False
        self._next = 0.0

    def show(self, stream: NativeStream) -> None:
        now = time.monotonic()
        if now < self._next:
            return
        self._next = now + _STATUS_INTERVAL_S
        stats, diag = stream.stats(), diagnostics(stream)
        self._out.write(
            f"\r\x1b[Kreceived {stats['ingested']}  dropped {stats['dropped']}  late {stats['late_events']}  "
            f"duplicates {stats['duplicate_events']}  open windows {stats['open_windows']}  "
            f"malformed {diag['malformed_datagrams']}  lost in kernel {diag['kernel_dropped']}  "
            f"future {diag['future_events']}")
        self._out.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._out.write("\r\x1b[K")
            self._out.flush()
            self._shown = False


def _message(text: str) -> None:
    print(f"ravik listen: {text}", file=sys.stderr, flush=True)


class _RowOutput:
    """Result rows to stdout or a file, in the chosen format, the plan's columns first."""

    def __init__(self, args: argparse.Namespace, the_plan: PlanDict) -> None:
        window = the_plan["window"]
        mean = the_plan["mean"]
        if window is not None and mean is not None:
            preferred = ["window_start", "window_end", *([window["by"]] if window["by"] else []), mean["alias"], "count"]
            time_columns = {"window_start", "window_end"}
        else:
            preferred, time_columns = ["timestamp"], {"timestamp"}
        self.out: TextIO = sys.stdout
        if args.output is not None:
            self.out = open(args.output, "a", encoding="utf-8", errors="backslashreplace", newline="")
        self.writer: RowWriter = make_writer(_output_format(args), self.out, preferred, time_columns)
        self.closed = False

    def write(self, batch: Columns) -> None:
        if self.closed:
            return
        try:
            self.writer.write(batch)
            self.out.flush()
        except BrokenPipeError:
            # The reader went away (`| head`): stop printing, finish cleanly.
            self.closed = True
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)

    def close(self) -> None:
        if self.out is not sys.stdout:
            self.out.close()


class _Listener:
    def __init__(self, args: argparse.Namespace, the_plan: PlanDict, stream: NativeStream) -> None:
        self.args = args
        self.plan = the_plan
        self.stream = stream
        self.rows = _RowOutput(args, the_plan)
        use_status = sys.stderr.isatty() and not args.no_status
        self.status = _StatusLine(sys.stderr) if use_status else None

    @property
    def output_closed(self) -> bool:
        return self.rows.closed

    def emit(self, batch: Columns | None) -> None:
        if batch is None or self.output_closed:
            return
        if self.status:
            self.status.clear()
        self.rows.write(batch)

    def save(self) -> bool:
        path = self.args.checkpoint
        try:
            self.stream.save_checkpoint(path)
            return True
        except RuntimeError as error:
            _message(f"cannot save checkpoint {path}: {error}")
            return False

    def run(self, stop: _StopSignals) -> int:
        args = self.args
        started = time.monotonic()
        deadline = started + args.duration if args.duration is not None else math.inf
        every = args.checkpoint_every if args.checkpoint_every is not None else 10.0
        next_save = started + every
        while not stop.requested and not self.output_closed:
            now = time.monotonic()
            if now >= deadline:
                break
            wait_ms = _POLL_MS if deadline == math.inf else max(0, min(_POLL_MS, math.ceil((deadline - now) * 1000)))
            _native.wait_ready(self.stream, wait_ms)
            self.emit(self.stream.next_batch(self.plan, 0))
            now = time.monotonic()
            if args.checkpoint and now >= next_save:
                self.save()
                next_save = now + every
            if self.status:
                self.status.show(self.stream)
        return self.finish()

    def finish(self) -> int:
        code = 0
        if self.args.checkpoint:
            # The close cuts everything received (what the sockets still hold
            # included); one pull processes it all and leaves the windows
            # open: they are saved, not printed, and the next run restores
            # them and prints them once they close.
            self.stream.close()
            self.emit(_native.pull_now(self.stream, self.plan, False))
            if self.save():
                _message(f"saved checkpoint {self.args.checkpoint}")
            else:
                code = 1
        else:
            self.stream.close()
            for batch in batches(self.stream, self.plan, timeout_ms=0):
                self.emit(batch)
        if self.status:
            self.status.clear()
        self.rows.close()
        _message("stats " + json.dumps(self.stream.stats()))
        diag = diagnostics(self.stream)
        counts = {key: value for key, value in diag.items() if key != "recent_malformed"}
        _message("diagnostics " + json.dumps(counts))
        for datagram, reason in diag["recent_malformed"]:
            _message(f"malformed datagram ({reason}): {datagram!r}")
        return code


def _listen_plan(args: argparse.Namespace, parser: argparse.ArgumentParser) -> PlanDict:
    if args.checkpoint_every is not None and args.checkpoint is None:
        parser.error("--checkpoint-every needs --checkpoint PATH")
    if args.force and args.checkpoint is None:
        parser.error("--force needs --checkpoint PATH")
    if args.interface is not None and args.multicast_group is None:
        parser.error("--interface needs --multicast-group GROUP")
    if args.multicast_group is not None and not ipaddress.IPv4Address(args.multicast_group).is_multicast:
        parser.error(f"--multicast-group {args.multicast_group} is not a multicast address (224.0.0.0 to 239.255.255.255)")
    if args.host is None:
        args.host = args.multicast_group or "127.0.0.1"
    return _plan_of(args, parser)


def _plan_of(args: argparse.Namespace, parser: argparse.ArgumentParser) -> PlanDict:
    """The plan the plan options describe (a usage error when they do not fit)."""
    if args.window is None:
        for flag, value in (("--mean", args.mean), ("--by", args.by), ("--alias", args.alias),
                            ("--time-field", args.time_field)):
            if value is not None:
                parser.error(f"{flag} needs --window SECONDS")
    elif args.mean is None:
        parser.error("--window needs --mean FIELD: each window reports a count and the mean of one field")
    try:
        return plan(
            filters=args.filters,
            window_seconds=args.window,
            by=args.by,
            time_field=args.time_field or "timestamp",
            mean=args.mean,
            alias=args.alias,
            watermark_ms=args.watermark_ms,
            allowed_lateness_ms=args.lateness_ms,
            event_id_field=args.id_field,
            drop_late=not args.keep_late,
        )
    except (TypeError, ValueError) as error:
        parser.error(str(error))


def _describe_plan(the_plan: PlanDict, max_future_ms: int | None) -> str:
    window, mean = the_plan["window"], the_plan["mean"]
    if window is None or mean is None:
        text = "passing events through"
    else:
        text = f"{window['seconds']} s windows"
        if window["by"]:
            text += f" by {window['by']}"
        text += f", mean of {mean['field']}"
    text += f", watermark {the_plan['watermark_ms'] or 0} ms"
    if max_future_ms is not None:
        text += f", dropping events more than {max_future_ms} ms ahead"
    return text


def _looks_like_checkpoint(path: str) -> bool:
    """Whether the file at ``path`` is empty or begins as a checkpoint does."""
    try:
        with open(path, "rb") as f:
            head = f.read(len(_CHECKPOINT_START))
    except OSError:
        return True  # not readable: the load reports it
    return head == b"" or head == _CHECKPOINT_START


# The plan options that shape a checkpoint's state: windows restored under
# other ones would hold other sums, ids of another field other events.
_STATE_OPTIONS = ("window", "mean", "event_id_field")


def plan_path(checkpoint: str) -> str:
    """The file beside a checkpoint that names the plan its state was built under."""
    return checkpoint + ".plan.json"


def _write_plan(checkpoint: str, the_plan: PlanDict) -> bool:
    path = plan_path(checkpoint)
    current: dict[str, object] = dict(the_plan)
    text = json.dumps({key: current[key] for key in _STATE_OPTIONS}, sort_keys=True) + "\n"
    temporary = f"{path}.{os.getpid()}.tmp"
    try:
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)
            f.flush()
            os.fsync(f.fileno())
        os.replace(temporary, path)  # atomic: the old plan file or the new one, never half of one
        return True
    except OSError as error:
        _message(f"cannot write {path}: {error}")
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        return False


def _plan_difference(checkpoint: str, the_plan: PlanDict) -> str | None:
    """What differs between this plan and the one the checkpoint was written
    under (None when they agree, or when no plan was kept beside it)."""
    try:
        with open(plan_path(checkpoint), encoding="utf-8") as f:
            saved = json.load(f)
    except FileNotFoundError:
        return None
    except (OSError, ValueError) as error:
        return f"its plan file {plan_path(checkpoint)} cannot be read: {error}"
    if not isinstance(saved, dict):
        return f"its plan file {plan_path(checkpoint)} is not a plan"
    current: dict[str, object] = dict(the_plan)
    differ = [f"{key} {saved.get(key)!r} then, {current[key]!r} now" for key in _STATE_OPTIONS
              if saved.get(key) != current[key]]
    return "; ".join(differ) or None


def _saved_high_mark(path: str) -> int | None:
    """The event-time high mark a checkpoint file starts with (None when unset or unreadable)."""
    try:
        with open(path, "rb") as f:
            first = f.readline(64)
    except OSError:
        return None
    try:
        value = int(first.split(b"\t", 1)[1])
    except (IndexError, ValueError):
        return None
    return None if value == -(2**63) else value


def _restore(stream: NativeStream, path: str, args: argparse.Namespace, the_plan: PlanDict) -> bool:
    force = args.force
    if os.path.exists(path) and not _looks_like_checkpoint(path):
        if not force:
            _message(f"{path} exists and is not a checkpoint; not touching it "
                     "(choose another path, or --force to overwrite it)")
            return False
        _message(f"{path} is not a checkpoint: starting fresh and overwriting it (--force)")
        return _write_plan(path, the_plan) and _save_fresh(stream, path)
    if os.path.exists(path):
        difference = _plan_difference(path, the_plan)
        if difference is not None:
            if not force:
                _message(f"checkpoint {path} was written under another plan ({difference}); not restoring it "
                         "(start with that plan, choose another path, or --force to restore it anyway)")
                return False
            _message(f"checkpoint {path} was written under another plan ({difference}): restoring it anyway (--force)")
        high = _saved_high_mark(path)
        limit = args.max_future_ms
        now_ms = time.time_ns() // 1_000_000
        if high is not None and limit is not None and high > now_ms + limit:
            ahead = f"its newest event time lies {high - now_ms} ms ahead of this host's clock (--max-future-ms {limit})"
            if not force:
                _message(f"checkpoint {path}: {ahead}; not restoring it: every event would be late "
                         "(fix the clock, or --force to restore it anyway)")
                return False
            _message(f"checkpoint {path}: {ahead}: restoring it anyway (--force)")
        try:
            stream.load_checkpoint(path)
        except RuntimeError as error:
            _message(f"cannot restore checkpoint {path}: {error}")
            return False
        stats = stream.stats()
        _message(f"restored checkpoint {path} ({stats['open_windows']} open windows, "
                 f"{stats['seen_event_ids']} event ids)")
        return _write_plan(path, the_plan)
    if not (_write_plan(path, the_plan) and _save_fresh(stream, path)):
        return False
    _message(f"no checkpoint at {path} yet: starting fresh")
    return True


def _save_fresh(stream: NativeStream, path: str) -> bool:
    # Write the fresh state now, so a path that cannot be written fails at
    # start rather than at exit.
    try:
        stream.save_checkpoint(path)
    except RuntimeError as error:
        _message(f"cannot write checkpoint {path}: {error}")
        return False
    return True


def _output_format(args: argparse.Namespace) -> str:
    if args.format is not None:
        return str(args.format)
    if args.output is None:
        return "table"
    return "csv" if args.output.lower().endswith(".csv") else "jsonl"


def run_listen(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    the_plan = _listen_plan(args, parser)
    try:
        stream = udp_stream(args.host, args.port, receivers=args.receivers, batch_size=args.batch_size,
                            linger_ms=args.linger_ms, capacity=args.capacity)
    except (RuntimeError, ValueError) as error:
        _message(f"cannot listen on {args.host}:{args.port}: {error}")
        return 1
    if args.max_future_ms is not None:
        _native.set_max_future_ms(stream, args.max_future_ms)
    stop = _StopSignals()
    stop.install()
    metrics: MetricsServer | None = None
    try:
        if args.multicast_group is not None:
            try:
                join_multicast(stream, args.multicast_group, args.interface)
            except (RuntimeError, ValueError) as error:
                _message(f"cannot join multicast group {args.multicast_group}: {error}")
                return 1
        if args.checkpoint and not _restore(stream, args.checkpoint, args, the_plan):
            return 1
        if args.metrics_port is not None:
            try:
                metrics = serve_metrics(stream, args.metrics_port, addr=args.metrics_addr)
            except ImportError:
                _message(f"cannot serve metrics: {INSTALL_HINT}")
                return 1
            except OSError as error:
                _message(f"cannot serve metrics on {args.metrics_addr}:{args.metrics_port}: {error}")
                return 1
            _message(f"metrics at http://{args.metrics_addr}:{metrics.port}/metrics")
        try:
            listener = _Listener(args, the_plan, stream)
        except OSError as error:
            _message(f"cannot write {args.output}: {error}")
            return 1
        host, port = stream.address()
        group = f" (multicast group {args.multicast_group})" if args.multicast_group else ""
        receiving = f" on {args.receivers} receivers" if args.receivers > 1 else ""
        _message(f"listening on {host}:{port}{group}{receiving}, {_describe_plan(the_plan, args.max_future_ms)}")
        return listener.run(stop)
    finally:
        if metrics is not None:
            metrics.close()
        stream.close()
        stop.restore()


# -------------------------------------------------------------------- replay

def run_replay(args: argparse.Namespace) -> int:
    rate = None if args.as_fast_as_possible or args.rate == 0 else args.rate
    stop = _StopSignals()
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


# ---------------------------------------------------------------------- send

def run_send(args: argparse.Namespace) -> int:
    options = SendOptions(
        host=args.host, port=args.port, rate=args.rate, count=args.count, duration=args.duration,
        sensors=args.sensors, late_share=args.late, duplicate_share=args.duplicates,
        late_by_ms=args.late_by_ms, step_ms=args.step_ms, start_ms=args.start_ms, seed=args.seed,
        id_prefix=args.id_prefix if args.id_prefix is not None else secrets.token_hex(4))
    stop = _StopSignals()
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


# ------------------------------------------------------------ kafka

def _kafka_settings(pairs: list[str]) -> dict[str, str]:
    settings = {}
    for pair in pairs:
        key, sep, value = pair.partition("=")
        if not sep or not key:
            raise ValueError(f"--kafka-config {pair!r} is not KEY=VALUE")
        settings[key] = value
    return settings


def run_consume(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    the_plan = _plan_of(args, parser)
    try:
        settings = _kafka_settings(args.kafka_config)
    except ValueError as error:
        parser.error(str(error))
    try:
        from ravik.kafka import PartitionedConsumer
        consumer = PartitionedConsumer(
            args.kafka, args.topic, args.group, the_plan, state_dir=args.state_dir, output_topic=args.output_topic,
            config=settings, checkpoint_every_s=args.checkpoint_every, max_future_ms=args.max_future_ms,
            on_error=lambda text: print(f"ravik consume: {text}", file=sys.stderr, flush=True))
    except ImportError as error:
        print(f"ravik consume: {error}", file=sys.stderr)
        return 1
    args.no_status = True
    writer = _RowOutput(args, the_plan)
    stop = _StopSignals()
    stop.install()
    deadline = time.monotonic() + args.duration if args.duration is not None else math.inf
    shown: list[int] | None = None
    try:
        print(f"ravik consume: member of group {args.group} on topic {args.topic}, "
              f"{_describe_plan(the_plan, args.max_future_ms)}", file=sys.stderr, flush=True)
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


def run_relay(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    try:
        settings = _kafka_settings(args.kafka_config)
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
    stop = _StopSignals()
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
            return run_listen(args, listen_parser)
        if args.command == "replay":
            return run_replay(args)
        if args.command == "consume":
            return run_consume(args, parser)
        if args.command == "relay":
            return run_relay(args, parser)
        return run_send(args)
    except KeyboardInterrupt:
        # A second Ctrl-C while shutting down: leave at once, nothing saved.
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
