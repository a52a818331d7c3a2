"""`python -m ravik listen` and `send`, run as subprocesses over real UDP on 127.0.0.1."""

import csv
import io
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import threading
import time

import pytest

from ravik._cli import main

STARTUP_TIMEOUT_S = 20.0
EXIT_TIMEOUT_S = 20.0
SEND_SUMMARY = re.compile(
    r"sent (?P<datagrams>\d+) datagrams .*: (?P<events>\d+) events, (?P<late>\d+) of them late, "
    r"(?P<duplicates>\d+) duplicates")


def ravik_command(*args):
    return [sys.executable, "-m", "ravik", *args]


def deadline_after(seconds):
    end = time.monotonic() + seconds
    return lambda: time.monotonic() >= end


class Listener:
    """A `ravik listen` subprocess on a free port, its output collected by threads."""

    def __init__(self, *args):
        self.proc = subprocess.Popen(
            ravik_command("listen", "--host", "127.0.0.1", "--port", "0", *args),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.out = []
        self.err = []
        self._threads = [
            threading.Thread(target=self._collect, args=(self.proc.stdout, self.out), daemon=True),
            threading.Thread(target=self._collect, args=(self.proc.stderr, self.err), daemon=True),
        ]
        for thread in self._threads:
            thread.start()

    @staticmethod
    def _collect(stream, lines):
        for line in iter(stream.readline, ""):
            lines.append(line)

    def wait_for_message(self, pattern, timeout=STARTUP_TIMEOUT_S):
        expired = deadline_after(timeout)
        while True:
            for line in list(self.err):
                if match := re.search(pattern, line):
                    return match
            if self.proc.poll() is not None and not any(t.is_alive() for t in self._threads):
                pytest.fail(f"listener exited ({self.proc.returncode}) before {pattern!r}: {''.join(self.err)}")
            if expired():
                pytest.fail(f"no {pattern!r} from the listener within {timeout} s: {''.join(self.err)}")
            time.sleep(0.01)

    def port(self):
        port = int(self.wait_for_message(r"listening on 127\.0\.0\.1:(\d+)").group(1))
        assert port != 0, "the UDP stream reported no bound port"
        return port

    def wait_for_output_lines(self, count, timeout=10.0):
        expired = deadline_after(timeout)
        while len(self.out) < count:
            if self.proc.poll() is not None:
                pytest.fail(f"listener exited ({self.proc.returncode}) early: {''.join(self.err)}")
            if expired():
                pytest.fail(f"expected {count} output lines within {timeout} s, got {self.out}")
            time.sleep(0.01)

    def stop(self, sig=signal.SIGINT):
        """Signal the listener, wait for it; returns (exit code, stdout, stderr)."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait()

    def wait(self):
        code = self.proc.wait(timeout=EXIT_TIMEOUT_S)
        for thread in self._threads:
            thread.join(timeout=EXIT_TIMEOUT_S)
        return code, "".join(self.out), "".join(self.err)

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait()
        for thread in self._threads:
            thread.join(timeout=EXIT_TIMEOUT_S)
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def listener():
    started = []

    def start(*args):
        started.append(Listener(*args))
        return started[-1]

    yield start
    for process in started:
        process.close()


def final_stats(stderr):
    lines = [line for line in stderr.splitlines() if line.startswith("ravik listen: stats ")]
    assert lines, f"no final stats line in {stderr!r}"
    return json.loads(lines[-1].removeprefix("ravik listen: stats "))


def send_datagrams(port, events):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        for event in events:
            sock.sendto(json.dumps(event).encode() if isinstance(event, dict) else event, ("127.0.0.1", port))


def run_sender(*args, timeout=60):
    done = subprocess.run(ravik_command("send", *args), capture_output=True, text=True, timeout=timeout, check=False)
    assert done.returncode == 0, done.stderr
    match = SEND_SUMMARY.search(done.stderr)
    assert match, done.stderr
    return {name: int(value) for name, value in match.groupdict().items()}


# ------------------------------------------------------------- output formats

WINDOW_ARGS = ("--window", "1", "--by", "sensor", "--mean", "value")
KNOWN_EVENTS = [
    {"timestamp": 100, "sensor": "a", "value": 1.0},
    {"timestamp": 200, "sensor": "b", "value": 10.0},
    {"timestamp": 300, "sensor": "a", "value": 2.0},
    {"timestamp": 1100, "sensor": "a", "value": 4.5},
    {"timestamp": 2500, "sensor": "b", "value": -1.0},
]
# Windows [0, 1000) close when the event at 1100 arrives, the others are
# flushed when the listener stops.
KNOWN_WINDOWS = [
    {"window_start": 0, "window_end": 1000, "sensor": "a", "mean_value": 1.5, "count": 2},
    {"window_start": 0, "window_end": 1000, "sensor": "b", "mean_value": 10.0, "count": 1},
    {"window_start": 1000, "window_end": 2000, "sensor": "a", "mean_value": 4.5, "count": 1},
    {"window_start": 2000, "window_end": 3000, "sensor": "b", "mean_value": -1.0, "count": 1},
]
COLUMNS = ["window_start", "window_end", "sensor", "mean_value", "count"]


def parse_jsonl(text):
    rows = [json.loads(line) for line in text.splitlines()]
    assert all(list(row) == COLUMNS for row in rows)
    return rows


def parse_csv(text):
    reader = csv.reader(io.StringIO(text))
    header = next(reader)
    assert header == COLUMNS
    return [{"window_start": int(r[0]), "window_end": int(r[1]), "sensor": r[2], "mean_value": float(r[3]),
             "count": int(r[4])} for r in reader]


def parse_table(text):
    header, rule, *lines = text.splitlines()
    assert header.split() == COLUMNS
    assert set(rule.replace(" ", "")) == {"-"}
    rows = []
    for line in lines:
        start, end, sensor, mean, count = line.split()
        rows.append({"window_start": int(start), "window_end": int(end), "sensor": sensor,
                     "mean_value": float(mean), "count": int(count)})
    return rows


@pytest.mark.parametrize("fmt,parse", [("jsonl", parse_jsonl), ("csv", parse_csv), ("table", parse_table)],
                         ids=["jsonl", "csv", "table"])
@pytest.mark.concurrency
def test_listener_prints_each_window_in_the_chosen_format(listener, fmt, parse):
    proc = listener(*WINDOW_ARGS, "--format", fmt)
    send_datagrams(proc.port(), KNOWN_EVENTS)
    header_lines = {"jsonl": 0, "csv": 1, "table": 2}[fmt]
    # The first two windows close while the listener runs, before any stop.
    proc.wait_for_output_lines(header_lines + 2)
    code, out, err = proc.stop()
    assert code == 0, err
    rows = parse(out)
    assert rows[:2] == KNOWN_WINDOWS[:2]
    assert sorted(rows, key=lambda r: (r["window_start"], r["sensor"])) == KNOWN_WINDOWS
    stats = final_stats(err)
    assert stats["ingested"] == len(KNOWN_EVENTS)
    assert stats["output_rows"] == len(KNOWN_WINDOWS)
    assert stats["open_windows"] == 0


@pytest.mark.concurrency
def test_listener_filters_and_passes_events_through(listener):
    proc = listener("--filter", "value > 1.5", "--filter", "sensor == a", "--format", "jsonl")
    send_datagrams(proc.port(), KNOWN_EVENTS)
    proc.wait_for_output_lines(2)
    code, out, err = proc.stop(signal.SIGTERM)
    assert code == 0, err
    rows = [json.loads(line) for line in out.splitlines()]
    assert [(r["timestamp"], r["value"]) for r in rows] == [(300, 2.0), (1100, 4.5)]
    assert list(rows[0]) == ["timestamp", "sensor", "value"]


@pytest.mark.concurrency
def test_listener_ignores_datagrams_that_are_not_flat_objects(listener):
    proc = listener("--format", "jsonl")
    send_datagrams(proc.port(), [b"not json", b"[1, 2]", b"", b'{"a": {"b": 1}}', {"timestamp": 5, "n": "sentinel"}])
    proc.wait_for_output_lines(1)
    code, out, err = proc.stop()
    assert code == 0, err
    assert [json.loads(line)["n"] for line in out.splitlines()] == ["sentinel"]
    assert final_stats(err)["ingested"] == 1


# -------------------------------------------------- sender and listener together

@pytest.mark.concurrency
def test_sender_events_are_counted_by_the_listener(listener):
    proc = listener(*WINDOW_ARGS, "--id-field", "id", "--format", "jsonl")
    sent = run_sender("--port", str(proc.port()), "--count", "400", "--rate", "2000", "--sensors", "4",
                      "--step-ms", "5", "--start-ms", "1000000", "--late", "0.1", "--late-by-ms", "100000",
                      "--duplicates", "0.1", "--seed", "3")
    assert sent["datagrams"] == 400 and sent["late"] > 0 and sent["duplicates"] > 0
    code, out, err = proc.stop()
    assert code == 0, err
    stats = final_stats(err)
    assert stats["ingested"] == 400
    assert stats["duplicate_events"] == sent["duplicates"]
    assert stats["late_events"] == sent["late"]
    windows = [json.loads(line) for line in out.splitlines()]
    keys = [(w["window_start"], w["sensor"]) for w in windows]
    assert len(keys) == len(set(keys))
    # Late events are dropped, so the windows hold exactly the on-time ones.
    assert sum(w["count"] for w in windows) == sent["events"] - sent["late"]
    assert {w["sensor"] for w in windows} == {"sensor-1", "sensor-2", "sensor-3", "sensor-4"}


# ---------------------------------------------------------------- checkpoints

@pytest.mark.concurrency
def test_checkpoint_is_written_at_start_and_exit_and_restored(listener, tmp_path):
    path = tmp_path / "state.ckpt"
    first = listener("--checkpoint", str(path), *WINDOW_ARGS)
    first.wait_for_message(r"no checkpoint at .* yet: starting fresh")
    first.wait_for_message(r"listening on ")
    assert path.is_file()
    code, _, err = first.stop(signal.SIGTERM)
    assert code == 0, err
    assert "saved checkpoint" in err
    assert final_stats(err)["checkpoint_saves"] == 2  # the fresh state at start, the state at exit

    second = listener("--checkpoint", str(path), *WINDOW_ARGS)
    second.wait_for_message(r"restored checkpoint .*state\.ckpt \(0 open windows, 0 event ids\)")
    code, _, err = second.stop()
    assert code == 0, err
    stats = final_stats(err)
    assert stats["checkpoint_loads"] == 1 and stats["checkpoint_saves"] == 1


@pytest.mark.concurrency
def test_checkpoint_is_saved_periodically(listener, tmp_path):
    path = tmp_path / "state.ckpt"
    proc = listener("--checkpoint", str(path), "--checkpoint-every", "0.2", *WINDOW_ARGS)
    proc.wait_for_message(r"listening on ")
    first = path.stat().st_mtime_ns
    expired = deadline_after(10)
    while path.stat().st_mtime_ns == first:
        assert not expired(), "the checkpoint was not saved again while running"
        time.sleep(0.05)
    code, _, err = proc.stop()
    assert code == 0, err
    assert final_stats(err)["checkpoint_saves"] >= 3


@pytest.mark.concurrency
def test_open_windows_survive_a_restart_through_the_checkpoint(listener, tmp_path):
    path = tmp_path / "state.ckpt"
    args = ("--checkpoint", str(path), "--window", "10", "--mean", "value", "--id-field", "id", "--format", "jsonl")
    first = listener(*args)
    send_datagrams(first.port(), [{"id": 1, "timestamp": 1000, "value": 1.0}, {"id": 2, "timestamp": 2000, "value": 2.0}])
    code, out, err = first.stop(signal.SIGTERM)
    assert code == 0, err
    assert out == ""  # the open window went into the checkpoint, not to the output
    assert final_stats(err)["ingested"] == 2

    second = listener(*args)
    second.wait_for_message(r"restored checkpoint .* \(1 open windows, 2 event ids\)")
    send_datagrams(second.port(), [
        {"id": 2, "timestamp": 2000, "value": 2.0},  # seen before the restart: a duplicate
        {"id": 3, "timestamp": 6000, "value": 6.0},
        {"id": 4, "timestamp": 15000, "value": 100.0},  # closes [0, 10000)
    ])
    second.wait_for_output_lines(1)
    code, out, err = second.stop()
    assert code == 0, err
    assert json.loads(out.splitlines()[0]) == {"window_start": 0, "window_end": 10000, "mean_value": 3.0, "count": 3}
    assert final_stats(err)["duplicate_events"] == 1


# ---------------------------------------------------------------- live status

@pytest.mark.concurrency
def test_live_status_only_on_a_terminal():
    controller, terminal = pty.openpty()
    try:
        proc = subprocess.Popen(ravik_command("listen", "--port", "0", "--duration", "0.8"),
                                stdout=subprocess.DEVNULL, stderr=terminal)
        os.close(terminal)
        terminal = -1
        seen = b""
        expired = deadline_after(EXIT_TIMEOUT_S)
        while not expired():
            ready, _, _ = select.select([controller], [], [], 0.1)
            if ready:
                try:
                    chunk = os.read(controller, 4096)
                except OSError:  # EIO: the child closed the terminal
                    break
                if not chunk:
                    break
                seen += chunk
        assert proc.wait(timeout=EXIT_TIMEOUT_S) == 0
    finally:
        os.close(controller)
        if terminal >= 0:
            os.close(terminal)
    assert b"\r\x1b[Kreceived 0  dropped 0  late 0  duplicates 0  open windows 0" in seen

    piped = subprocess.run(ravik_command("listen", "--port", "0", "--duration", "0.5"),
                           capture_output=True, text=True, timeout=EXIT_TIMEOUT_S, check=False)
    assert piped.returncode == 0, piped.stderr
    assert "received" not in piped.stderr and "\x1b" not in piped.stderr
    assert final_stats(piped.stderr)["ingested"] == 0


# --------------------------------------------------------------------- sender

@pytest.mark.concurrency
def test_sender_sends_flat_sensor_events_with_late_and_duplicate_shares():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as receiver:
        receiver.bind(("127.0.0.1", 0))
        receiver.settimeout(0.2)
        port = receiver.getsockname()[1]
        datagrams = []
        finished = threading.Event()

        def receive():
            while not (finished.is_set() and len(datagrams) >= 200):
                try:
                    datagrams.append(receiver.recv(65536))
                except TimeoutError:
                    if finished.is_set():
                        return

        thread = threading.Thread(target=receive)
        thread.start()
        try:
            sent = run_sender("--port", str(port), "--count", "200", "--rate", "2000", "--step-ms", "10",
                              "--start-ms", "5000", "--late", "20%", "--late-by-ms", "60000", "--duplicates", "0.2",
                              "--seed", "11", "--id-prefix", "t")
        finally:
            finished.set()
            thread.join()
    assert len(datagrams) == sent["datagrams"] == 200
    assert sent["events"] + sent["duplicates"] == 200
    assert 0.1 < sent["duplicates"] / 200 < 0.3 and 0.1 < sent["late"] / sent["events"] < 0.3
    first_seen = {}
    late = 0
    for raw in datagrams:
        event = json.loads(raw)
        assert set(event) == {"id", "sensor", "value", "timestamp"}
        assert b"\n" not in raw and isinstance(event["value"], float)
        if event["id"] in first_seen:
            assert first_seen[event["id"]] == raw  # a duplicate is the same datagram again
            continue
        first_seen[event["id"]] = raw
        n = int(event["id"].removeprefix("t-"))
        assert event["sensor"] == f"sensor-{n % 5 + 1}"
        on_time = 5000 + 10 * n
        assert event["timestamp"] in (on_time, on_time - 60000)
        late += event["timestamp"] != on_time
        if n == 0:
            assert event["timestamp"] == on_time  # nothing to be late against yet
    assert len(first_seen) == sent["events"]
    assert late == sent["late"]


def test_sender_stops_after_its_duration():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as receiver:
        receiver.bind(("127.0.0.1", 0))
        started = time.monotonic()
        sent = run_sender("--port", str(receiver.getsockname()[1]), "--rate", "100", "--duration", "0.3")
        assert time.monotonic() - started < 30
    assert 1 <= sent["datagrams"] <= 31


# ------------------------------------------------------------- bad arguments

@pytest.mark.parametrize(
    ("argv", "message"),
    [
        ([], "the following arguments are required"),
        (["serve"], "invalid choice: 'serve'"),
        (["listen", "--window", "0", "--mean", "v"], "--window: 0 is out of range"),
        (["listen", "--window", "ten", "--mean", "v"], "--window: 'ten' is not an integer"),
        (["listen", "--window", "10"], "--window needs --mean"),
        (["listen", "--mean", "v"], "--mean needs --window"),
        (["listen", "--by", "sensor"], "--by needs --window"),
        (["listen", "--window", "1", "--mean", "v", "--alias", "count"], "alias='count' would overwrite"),
        (["listen", "--host", "localhost"], "'localhost' is not a dotted IPv4 address"),
        (["listen", "--port", "70000"], "--port: 70000 is out of range"),
        (["listen", "--format", "xml"], "invalid choice: 'xml'"),
        (["listen", "--filter", "x = 3"], r"did you mean '=='"),
        (["listen", "--filter", "x"], "is not 'field op value'"),
        (["listen", "--watermark-ms", "-5"], "--watermark-ms: -5 is out of range"),
        (["listen", "--checkpoint-every", "5"], "--checkpoint-every needs --checkpoint"),
        (["listen", "--checkpoint", "p", "--checkpoint-every", "0"], "must be a positive number of seconds"),
        (["listen", "--bogus"], "unrecognized arguments: --bogus"),
        (["listen", "--windw", "10"], r"--windw: did you mean --window\?"),
        (["listen", "--watermark", "10"], r"arguments: --watermark 10 \(--watermark: did you mean --watermark-ms\?\)"),
        (["replay", "f", "--rate", "-1"], "--rate: -1 must be 0"),
        (["send", "--late", "1.5"], "--late: 1.5 must be a share from 0 to 1"),
        (["send", "--duplicates", "lots"], "is not a share"),
        (["send", "--rate", "-1"], "--rate: -1 must be 0"),
        (["send", "--port", "0"], "--port: 0 is out of range"),
        (["send", "--count", "-1"], "--count: -1 is out of range"),
    ],
    ids=lambda v: " ".join(v) if isinstance(v, list) else None,
)
def test_bad_arguments_print_usage_and_exit_2(capsys, argv, message):
    with pytest.raises(SystemExit) as stopped:
        main(argv)
    assert stopped.value.code == 2
    err = capsys.readouterr().err
    assert err.startswith("usage: python -m ravik")
    assert re.search(message, err), err


def test_bad_arguments_exit_2_from_the_command_line():
    done = subprocess.run(ravik_command("listen", "--window", "10"), capture_output=True, text=True,
                          timeout=EXIT_TIMEOUT_S, check=False)
    assert done.returncode == 2
    assert "usage: python -m ravik listen" in done.stderr and "--window needs --mean" in done.stderr


def test_console_script_names_itself():
    script = os.path.join(os.path.dirname(sys.executable), "ravik")
    done = subprocess.run([script, "listen", "--windw", "1"], capture_output=True, text=True, timeout=EXIT_TIMEOUT_S)
    assert done.returncode == 2 and done.stderr.startswith("usage: ravik "), done.stderr


def test_replay_at_rate_0_interrupted_says_where_and_exits_130(tmp_path):
    lines = tmp_path / "events.jsonl"
    lines.write_bytes(b'{"i":1}\n' * 2_000_000)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as receiver:
        receiver.bind(("127.0.0.1", 0))
        receiver.settimeout(STARTUP_TIMEOUT_S)
        proc = subprocess.Popen(ravik_command("replay", str(lines), "--port", str(receiver.getsockname()[1]),
                                              "--rate", "0"), stderr=subprocess.PIPE, text=True)
        receiver.recv(100)  # it is sending
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=EXIT_TIMEOUT_S)
    assert proc.returncode == 130, err
    assert re.search(r"interrupted after line [1-9]\d*$", err.strip()), err


def test_listener_reports_a_port_in_use():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", 0))
        port = taken.getsockname()[1]
        done = subprocess.run(ravik_command("listen", "--port", str(port)), capture_output=True, text=True,
                              timeout=EXIT_TIMEOUT_S, check=False)
    assert done.returncode == 1
    assert f"cannot listen on 127.0.0.1:{port}: udp bind failed: Address already in use" in done.stderr


def test_help_lists_both_commands():
    done = subprocess.run(ravik_command("--help"), capture_output=True, text=True, timeout=EXIT_TIMEOUT_S,
                          check=False)
    assert done.returncode == 0
    assert "listen" in done.stdout and "send" in done.stdout


def final_diagnostics(stderr):
    lines = [line for line in stderr.splitlines() if line.startswith("ravik listen: diagnostics ")]
    assert lines, f"no diagnostics line in {stderr!r}"
    return json.loads(lines[-1].removeprefix("ravik listen: diagnostics "))


@pytest.mark.concurrency
def test_listener_defaults_guard_against_skewed_clocks_and_bad_datagrams(listener):
    proc = listener("--format", "jsonl")
    header = proc.wait_for_message(r"listening on .*").group(0)
    assert "watermark 1000 ms" in header and "more than 3600000 ms ahead" in header
    now = time.time_ns() // 1_000_000
    port = proc.port()
    send_datagrams(port, [{"timestamp": 2**63 - 1, "v": 0}, b"junk", b'{"\xff": 1}',
                          {"timestamp": now - 500, "v": 1}, {"timestamp": now - 900, "v": 2}])
    proc.wait_for_output_lines(3)
    code, out, err = proc.stop()
    assert code == 0, err
    rows = [json.loads(line) for line in out.splitlines()]
    # The far-future event is dropped (not making the rest late); a clock
    # 400 ms behind is within the default watermark; an undecodable name
    # prints as an escape of its byte.
    assert [row.get("v") for row in rows] == [None, 1, 2] and rows[0]["\udcff"] == 1
    diag = final_diagnostics(err)
    assert (diag["future_events"], diag["malformed_datagrams"]) == (1, 1)
    assert "malformed datagram (not an object): b'junk'" in err
    assert final_stats(err)["late_events"] == 0


def test_listener_refuses_a_checkpoint_path_holding_something_else(tmp_path):
    important = tmp_path / "important.csv"
    important.write_text("a,b\n1,2\n")
    args = ["listen", "--port", "0", "--checkpoint", str(important), "--duration", "0.1"]
    refused = subprocess.run(ravik_command(*args), capture_output=True, text=True, timeout=EXIT_TIMEOUT_S)
    assert refused.returncode == 1 and "is not a checkpoint" in refused.stderr and "--force" in refused.stderr
    assert important.read_text() == "a,b\n1,2\n"
    forced = subprocess.run(ravik_command(*args, "--force"), capture_output=True, text=True, timeout=EXIT_TIMEOUT_S)
    assert forced.returncode == 0, forced.stderr
    assert important.read_bytes().startswith(b"max_event_time\t")


def _future_checkpoint(path):
    ahead = time.time_ns() // 1_000_000 + 10 * 86_400_000  # ten days ahead of this host's clock
    path.write_bytes(b"max_event_time\t%d\nwindow_origin\t0\nseen_event_ids\t0\nwindow_state\t0\n" % ahead)


@pytest.mark.parametrize("prepare, then, refusal", [
    # Written under 10 s windows by sensor with the mean of value; restored under others.
    pytest.param(["--window", "10", "--by", "sensor", "--mean", "value"],
                 ["--window", "60", "--mean", "temperature"], "was written under another plan", id="other-plan"),
    pytest.param(["--id-field", "id"], ["--id-field", "uuid"], "was written under another plan", id="other-id-field"),
    pytest.param(_future_checkpoint, ["--window", "10", "--mean", "value"], "ahead of this host's clock",
                 id="high-mark-in-the-future"),
])
def test_listener_refuses_a_checkpoint_that_is_not_its_own(tmp_path, prepare, then, refusal):
    path = tmp_path / "state.ckpt"
    base = ["listen", "--port", "0", "--checkpoint", str(path), "--duration", "0.1"]
    if callable(prepare):
        prepare(path)
    else:
        first = subprocess.run(ravik_command(*base, *prepare), capture_output=True, text=True, timeout=EXIT_TIMEOUT_S)
        assert first.returncode == 0, first.stderr
    before = path.read_bytes()
    refused = subprocess.run(ravik_command(*base, *then), capture_output=True, text=True, timeout=EXIT_TIMEOUT_S)
    assert refused.returncode == 1 and refusal in refused.stderr and "--force" in refused.stderr, refused.stderr
    assert path.read_bytes() == before
    forced = subprocess.run(ravik_command(*base, *then, "--force"), capture_output=True, text=True,
                            timeout=EXIT_TIMEOUT_S)
    assert forced.returncode == 0 and "restoring it anyway (--force)" in forced.stderr, forced.stderr
    again = subprocess.run(ravik_command(*base, *then), capture_output=True, text=True, timeout=EXIT_TIMEOUT_S)
    assert (again.returncode == 0) != callable(prepare), again.stderr  # the plan now kept is this one
