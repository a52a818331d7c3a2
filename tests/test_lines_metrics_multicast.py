"""Recorded JSON lines (emit_lines, replay, listen --output), the metrics endpoint, multicast reception."""

import csv
import io
import json
import random
import re
import socket
import subprocess
import sys
import urllib.request

import pytest

import _ravik
import ravik
import ravik._lines
from plans import make_plan
from test_cli import final_stats, ravik_command
from udp_support import wait_for

PASS = make_plan(drop_late=False)
WINDOWS = make_plan(window={"seconds": 1, "by": "sensor", "time_field": "timestamp"},
                    mean={"field": "value", "alias": "mean_value"}, watermark_ms=1000, event_id_field="id")


def random_datagrams(rng, n):
    """Datagrams (no newline inside) that the parser takes or rejects, with repeated ids."""
    out = []
    for i in range(n):
        pick = rng.random()
        if pick < 0.08:
            out.append(rng.choice([b"not json", b"[1,2]", b'{"a":{"nested":1}}', b'{"a":1', b"{}x"]))
        elif pick < 0.12:
            out.append(b'{"odd":"caf\xe9","timestamp":5}')  # latin-1 text in a datagram
        else:
            event = {"id": f"e{rng.randrange(n)}", "sensor": f"s{rng.randrange(3)}", "value": rng.choice([1, 2.5, "x"]),
                     "timestamp": 1_000_000 + rng.randrange(5000)}
            out.append(json.dumps(event, separators=(",", rng.choice([":", ": "]))).encode())
    return out


def pull_once_closed(stream, plan):
    stream.close()
    return list(ravik.batches(stream, plan))


def outcome(stream, plan):
    results = pull_once_closed(stream, plan)
    diag = ravik.diagnostics(stream)
    return results, stream.stats()["ingested"], diag["malformed_datagrams"], diag["recent_malformed"]


@pytest.mark.concurrency
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("plan", [PASS, WINDOWS], ids=["pass-through", "windows"])
def test_lines_are_taken_exactly_as_the_same_datagrams(seed, plan, monkeypatch):
    datagrams = random_datagrams(random.Random(seed), 300)
    # The reference: the same bytes as real datagrams, all cut in one batch at close.
    udp = _ravik.NativeStream.udp("127.0.0.1", 0, 100_000, 60_000, 100_000)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        for d in datagrams:
            sock.sendto(d, udp.address())
    assert wait_for(lambda: udp.stats()["ingested"] + ravik.diagnostics(udp)["malformed_datagrams"] == len(datagrams))
    expected = outcome(udp, plan)

    text = b"\n".join(datagrams)
    crlf_with_blanks = b"\r\n\r\n".join(datagrams) + b"\r\n"
    monkeypatch.setattr(ravik._lines, "_CHUNK_BYTES", 7)  # lines cross every chunk boundary
    feeds = {
        "bytes": text,
        "file-in-chunks": io.BytesIO(crlf_with_blanks),
        "iterable-of-lines": io.BytesIO(text + b"\n").readlines(),
        "iterable-of-str": [d.decode("latin-1") for d in datagrams if d.isascii()],
    }
    for name, feed in feeds.items():
        stream = _ravik.NativeStream.manual(100_000, 60_000, 100_000)
        ravik.emit_lines(stream, feed)
        got = outcome(stream, plan)
        if name == "iterable-of-str":
            ascii_only = _ravik.NativeStream.manual(100_000, 60_000, 100_000)
            ravik.emit_lines(ascii_only, b"\n".join(d for d in datagrams if d.isascii()))
            assert got == outcome(ascii_only, plan), name
        else:
            assert got == expected, name


def test_a_long_line_from_a_file_is_parsed_once(manual, monkeypatch):
    """A line of many read chunks is handed to the parser once, at its end:
    the bytes parsed stay linear in the file's size, not quadratic."""
    handed = []
    native = ravik._lines._native.emit_lines

    def counting(stream, block, final):
        handed.append(len(block))
        return native(stream, block, final)

    monkeypatch.setattr(ravik._lines._native, "emit_lines", counting)
    monkeypatch.setattr(ravik._lines, "_CHUNK_BYTES", 1000)
    text = b'{"timestamp":1,"v":"' + b"x" * 200_000 + b'"}\n{"timestamp":2,"v":"y"}\n'
    s = manual()
    ravik.emit_lines(s, io.BytesIO(text))
    s.close()
    [batch] = list(ravik.batches(s, PASS))
    assert [len(v) for v in batch["v"]] == [200_000, 1]
    assert sum(handed) <= 2 * len(text)


def test_emit_lines_refuses_text_files_and_plain_strings(manual):
    with pytest.raises(TypeError, match="binary mode"):
        ravik.emit_lines(manual(), io.StringIO('{"a":1}\n'))
    with pytest.raises(TypeError, match="not str"):
        ravik.emit_lines(manual(), '{"a":1}')


def scrape(port):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=5) as response:
        text = response.read().decode()
    return {line.split()[0]: float(line.split()[1]) for line in text.splitlines() if line.startswith("ravik_")}


def test_replay_into_a_listener_with_output_file_and_metrics(tmp_path):
    events = [{"id": f"e{i % 450}", "sensor": f"s{i % 3}", "value": i % 7, "timestamp": 1_000_000 + 7 * i}
              for i in range(500)]
    recording = tmp_path / "events.jsonl"
    recording.write_text("".join(json.dumps(e) + "\n" for e in events) + "\nnot json\n")
    out = tmp_path / "windows.csv"
    listen = subprocess.Popen(
        ravik_command("listen", "--port", "0", "--window", "1", "--by", "sensor", "--mean", "value",
                      "--id-field", "id", "--output", str(out), "--metrics-port", "0", "--no-status", "--receivers", "2"),
        stderr=subprocess.PIPE, text=True)
    try:
        metrics_port = int(re.search(r"127\.0\.0\.1:(\d+)/metrics", listen.stderr.readline()).group(1))
        udp_port = int(re.search(r"listening on 127\.0\.0\.1:(\d+) on 2 receivers", listen.stderr.readline()).group(1))
        replayed = subprocess.run(ravik_command("replay", str(recording), "--port", str(udp_port), "--rate", "20000"),
                                  capture_output=True, text=True, timeout=60, check=True)
        assert "sent 501 datagrams" in replayed.stderr and "1 lines skipped" in replayed.stderr
        assert wait_for(lambda: scrape(metrics_port).get("ravik_ingested_total") == 500)
        metrics = scrape(metrics_port)
        assert metrics["ravik_malformed_datagrams_total"] == 1
        assert metrics["ravik_duplicate_events_total"] == 50
        listen.send_signal(subprocess.signal.SIGINT)
        _, err = listen.communicate(timeout=20)
    finally:
        listen.kill()
    assert listen.returncode == 0, err
    assert final_stats(err)["output_rows"] > 0
    reference = _ravik.NativeStream.manual(10, 1, 10)
    expected = reference.aggregate_columns({k: [e[k] for e in events] for k in events[0]}, WINDOWS)
    rows = list(csv.DictReader(io.StringIO(out.read_text())))
    assert sorted((int(r["window_start"]), r["sensor"], int(r["count"])) for r in rows) == sorted(
        zip(expected["window_start"], expected["sensor"], expected["count"]))


def test_listener_without_prometheus_client_says_how_to_install_it():
    code = ("import sys; sys.modules['prometheus_client'] = None; from ravik._cli import main; "
            "sys.exit(main(['listen', '--port', '0', '--metrics-port', '0', '--duration', '1']))")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 1
    assert "pip install 'ravik[metrics]'" in done.stderr


def test_serve_metrics_matches_stats(manual):
    stream = manual()
    stream.aggregate_columns({"id": ["a", "a", "b"], "timestamp": [1, 2, 3]}, make_plan(event_id_field="id"))
    server = ravik.serve_metrics(stream, 0, labels={"stream": "test"})
    try:
        metrics = scrape(server.port)
    finally:
        server.close()
    stats = stream.stats()
    assert metrics['ravik_duplicate_events_total{stream="test"}'] == stats["duplicate_events"] == 1
    assert metrics['ravik_seen_event_ids{stream="test"}'] == 2
    assert metrics['ravik_output_rows_total{stream="test"}'] == stats["output_rows"]
    assert metrics['ravik_newest_event_time{stream="test"}'] == metrics['ravik_watermark{stream="test"}'] == 3


GROUP = "239.255.42.99"


def test_multicast_datagrams_reach_a_stream_that_joined_the_group():
    with _ravik.NativeStream.udp(GROUP, 0, 100, 1, 1000) as stream:
        try:
            ravik.join_multicast(stream, GROUP, "127.0.0.1")
        except RuntimeError as error:
            pytest.skip(f"the kernel refuses a multicast group on loopback here: {error}")
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
            sender.setsockopt(socket.IPPROTO_IP, socket.IP_MULTICAST_IF, socket.inet_aton("127.0.0.1"))
            sender.sendto(b'{"via":"multicast","timestamp":1}', (GROUP, stream.address()[1]))
        assert wait_for(lambda: stream.stats()["ingested"] == 1)
    assert list(ravik.batches(stream, PASS)) == [{"timestamp": [1], "via": ["multicast"]}]


@pytest.mark.parametrize("group, interface, stream_kind, error, message", [
    ("10.0.0.1", None, "udp", ValueError, "multicast group"),
    ("239.1.1.1", "nonsense", "udp", ValueError, "invalid IPv4 address"),
    ("239.1.1.1", None, "manual", ValueError, "not a UDP stream"),
    ("239.1.1.1", None, "closed", RuntimeError, "stream is closed"),
])
def test_join_multicast_refuses_what_it_cannot_join(group, interface, stream_kind, error, message):
    if stream_kind == "manual":
        stream = _ravik.NativeStream.manual(1, 1, 1)
    else:
        stream = _ravik.NativeStream.udp("127.0.0.1", 0, 1, 1, 1)
    if stream_kind == "closed":
        stream.close()
    with pytest.raises(error, match=message):
        ravik.join_multicast(stream, group, interface)
    stream.close()
