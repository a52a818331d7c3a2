"""``listen``: receive events over UDP and print each window as it closes."""

from __future__ import annotations

import argparse
import contextlib
import ipaddress
import json
import math
import os
import sys
import time
from typing import TextIO

from _ravik import NativeStream
from ravik import _native
from ravik._batches import batches, late_events
from ravik._diagnostics import diagnostics
from ravik._metrics import INSTALL_HINT, MetricsServer, serve_metrics
from ravik._multicast import join_multicast
from ravik._output import FORMATS
from ravik._receivers import udp_stream
from ravik._types import Columns, PlanDict

from .options import (Parser, StopSignals, add_plan_arguments, describe_plan, int_in, ipv4,
                      plan_of, seconds)
from .output import LateOutput, RowOutput

# How long one wait for a batch may last: it bounds how late a stop request,
# the status line or a periodic save is handled (the wait itself does not
# hold the interpreter lock).
_POLL_MS = 100
_STATUS_INTERVAL_S = 0.25
# How a checkpoint file begins; the listener refuses to overwrite other files.
_CHECKPOINT_START = b"max_event_time\t"


def add_parser(commands: argparse._SubParsersAction[Parser]) -> argparse.ArgumentParser:
    """The ``listen`` subcommand and its options."""
    listen = commands.add_parser(
        "listen", help="receive events over UDP and print each window as it closes",
        description="Receive flat JSON events over UDP and print each window row as it closes. "
                    "Rows go to stdout; messages, the live status (on a terminal) and the final "
                    "stats go to stderr. Ctrl-C or SIGTERM ends it cleanly.")
    net = listen.add_argument_group("network")
    net.add_argument("--host", type=ipv4, help="IPv4 address to bind (default 127.0.0.1, or the multicast group)")
    net.add_argument("--port", type=int_in(0, 65535), default=9999,
                     help="UDP port (default %(default)s; 0 picks a free port, reported on stderr)")
    net.add_argument("--multicast-group", type=ipv4, metavar="GROUP",
                     help="join this IPv4 multicast group (224.0.0.0/4) and receive its datagrams")
    net.add_argument("--interface", type=ipv4, metavar="ADDR",
                     help="with --multicast-group: the address of the interface to join on (default: by route)")
    add_plan_arguments(listen)
    out = listen.add_argument_group("output and state")
    out.add_argument("--format", choices=FORMATS,
                     help="row format (default table on stdout; with --output, csv for *.csv files, else jsonl)")
    out.add_argument("--output", metavar="FILE", help="write the rows to FILE (appended to) instead of stdout")
    out.add_argument("--late-output", metavar="FILE",
                     help="keep events later than the allowed lateness and append them to FILE as JSON lines "
                          "(still counted as late)")
    out.add_argument("--metrics-port", type=int_in(0, 65535), metavar="N",
                     help="serve the counters for Prometheus at http://ADDR:N/metrics (needs prometheus_client)")
    out.add_argument("--metrics-addr", type=ipv4, default="127.0.0.1", metavar="ADDR",
                     help="address of the metrics endpoint (default %(default)s; 0.0.0.0 for every interface)")
    out.add_argument("--checkpoint", metavar="PATH", help="restore state from PATH at start, save it at exit")
    out.add_argument("--checkpoint-every", type=seconds, metavar="SECONDS",
                     help="also save the checkpoint this often (default 10 with --checkpoint)")
    out.add_argument("--force", action="store_true",
                     help="use --checkpoint PATH even when PATH exists and is not a checkpoint (it is overwritten)")
    out.add_argument("--duration", type=seconds, metavar="SECONDS", help="stop after this long (default: run until stopped)")
    out.add_argument("--no-status", action="store_true", help="no live status line, even on a terminal")
    tune = listen.add_argument_group("stream tuning")
    tune.add_argument("--batch-size", type=int_in(1, 2**32 - 1), default=4096, metavar="N", help="most events per batch (default %(default)s)")
    tune.add_argument("--linger-ms", type=int_in(1, 60_000), default=10, metavar="N", help="ms between batch cuts (default %(default)s)")
    tune.add_argument("--receivers", type=int_in(1, 256), default=1, metavar="N",
                      help="sockets (and threads) receiving the port at once, with SO_REUSEPORT; helps "
                           "with many senders (default %(default)s)")
    tune.add_argument("--capacity", type=int_in(1, 2**32 - 1), default=1_000_000, metavar="N",
                      help="most queued events; more are dropped and counted (default %(default)s)")
    return listen


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
            f"future {diag['future_events']}"
            + ("" if diag["lag_ms"] is None else f"  watermark lag {diag['lag_ms']} ms"))
        self._out.flush()
        self._shown = True

    def clear(self) -> None:
        if self._shown:
            self._out.write("\r\x1b[K")
            self._out.flush()
            self._shown = False


def _message(text: str) -> None:
    print(f"ravik listen: {text}", file=sys.stderr, flush=True)


class _Listener:
    def __init__(self, args: argparse.Namespace, the_plan: PlanDict, stream: NativeStream) -> None:
        self.args = args
        self.plan = the_plan
        self.stream = stream
        self.rows = RowOutput(args, the_plan)
        self.late_rows = LateOutput(args.late_output) if args.late_output is not None else None
        # Milliseconds until an idle-closing plan may close a window (None: no such moment).
        self.wake_in: int | None = None
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

    def pull(self, *, cut: bool, flush: bool) -> None:
        batch, self.wake_in = _native.pull(self.stream, self.plan, cut, flush, False)
        self.emit(batch)
        self.emit_late()

    def emit_late(self) -> None:
        if self.late_rows is None:
            return
        late = late_events(self.stream)
        if late is not None:
            self.late_rows.write(late)  # type: ignore[arg-type]

    def save(self) -> bool:
        path = self.args.checkpoint
        try:
            self.stream.save_checkpoint(path)
            return True
        except RuntimeError as error:
            _message(f"cannot save checkpoint {path}: {error}")
            return False

    def run(self, stop: StopSignals) -> int:
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
            if self.wake_in is not None:
                wait_ms = min(wait_ms, self.wake_in)
            _native.wait_ready(self.stream, wait_ms)
            self.pull(cut=False, flush=True)
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
            self.pull(cut=True, flush=False)
            if self.save():
                _message(f"saved checkpoint {self.args.checkpoint}")
            else:
                code = 1
        else:
            self.stream.close()
            for batch in batches(self.stream, self.plan, timeout_ms=0):
                self.emit(batch)
            self.emit_late()
        if self.status:
            self.status.clear()
        self.rows.close()
        if self.late_rows is not None:
            self.late_rows.close()
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
    return plan_of(args, parser, late_side=args.late_output is not None)


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


def _plan_state(the_plan: PlanDict) -> dict[str, object]:
    """The parts of a plan that shape the state it builds: _STATE_OPTIONS, and
    the window shape and aggregates when the plan has them (so that plan
    files of plans without them stay as they were)."""
    current: dict[str, object] = dict(the_plan)
    state = {key: current[key] for key in _STATE_OPTIONS}
    options = the_plan.get("options")
    if options is not None:
        shape = {key: options[key] for key in ("window_ms", "hop_ms", "session_gap_ms", "aggregates")
                 if key in options}
        if shape:
            state["window_shape"] = shape
    return state


def plan_path(checkpoint: str) -> str:
    """The file beside a checkpoint that names the plan its state was built under."""
    return checkpoint + ".plan.json"


def _write_plan(checkpoint: str, the_plan: PlanDict) -> bool:
    path = plan_path(checkpoint)
    text = json.dumps(_plan_state(the_plan), sort_keys=True) + "\n"
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
    current = _plan_state(the_plan)
    keys = [*_STATE_OPTIONS, "window_shape"]
    differ = [f"{key} {saved.get(key)!r} then, {current.get(key)!r} now" for key in keys
              if saved.get(key) != current.get(key)]
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


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    the_plan = _listen_plan(args, parser)
    try:
        stream = udp_stream(args.host, args.port, receivers=args.receivers, batch_size=args.batch_size,
                            linger_ms=args.linger_ms, capacity=args.capacity)
    except (RuntimeError, ValueError) as error:
        _message(f"cannot listen on {args.host}:{args.port}: {error}")
        return 1
    if args.max_future_ms is not None:
        _native.set_max_future_ms(stream, args.max_future_ms)
    stop = StopSignals()
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
        _message(f"listening on {host}:{port}{group}{receiving}, {describe_plan(the_plan, args.max_future_ms)}")
        return listener.run(stop)
    finally:
        if metrics is not None:
            metrics.close()
        stream.close()
        stop.restore()
