"""The main job: a listener and a sender on 127.0.0.1, windows as a table, final stats.

Runs ``python -m ravik listen`` on a free UDP port and ``python -m ravik send``
against it for a few seconds, with some late and duplicate events, prints
each 1-second window per sensor as it closes, then the listener's counters.
"""

from __future__ import annotations

import json
import re
import shlex
import signal
import subprocess
import sys
import threading
import time
from collections.abc import Iterator
from typing import IO

SEND_SECONDS = 4.0
STARTUP_TIMEOUT_S = 15.0

LISTEN_ARGS = [
    "listen", "--host", "127.0.0.1", "--port", "0",
    "--window", "1", "--by", "sensor", "--mean", "value",
    "--watermark-ms", "200", "--lateness-ms", "300", "--id-field", "id",
    "--format", "table", "--no-status",
]
SEND_ARGS = [
    "send", "--host", "127.0.0.1", "--rate", "300", "--duration", str(SEND_SECONDS),
    "--sensors", "3", "--late", "0.05", "--late-by-ms", "3000", "--duplicates", "0.03",
]


def ravik_command(args: list[str]) -> list[str]:
    return [sys.executable, "-m", "ravik", *args]


def show(command: list[str]) -> None:
    print("$ python -m ravik " + shlex.join(command[3:]), flush=True)


def lines(stream: IO[str]) -> Iterator[str]:
    yield from iter(stream.readline, "")


def main() -> int:
    listen = ravik_command(LISTEN_ARGS)
    show(listen)
    # The table goes straight to our stdout; stderr is read for the bound
    # port and the final stats.
    listener = subprocess.Popen(listen, stderr=subprocess.PIPE, text=True)
    assert listener.stderr is not None
    messages: list[str] = []
    found_port = threading.Event()
    port = 0

    def read_messages(stream: IO[str]) -> None:
        nonlocal port
        for line in lines(stream):
            messages.append(line.rstrip("\n"))
            match = re.search(r"listening on [\d.]+:(\d+)", line)
            if match and not found_port.is_set():
                port = int(match.group(1))
                found_port.set()
        found_port.set()

    reader = threading.Thread(target=read_messages, args=(listener.stderr,), daemon=True)
    reader.start()
    try:
        if not found_port.wait(STARTUP_TIMEOUT_S) or port == 0:
            print("the listener did not report a UDP port:", *messages, sep="\n  ", file=sys.stderr)
            return 1
        print("Each row below is one 1-second window of one sensor, printed as the watermark passes its end")
        print("(times in UTC; windows are aligned to the first event). The last ones come out at Ctrl-C.\n", flush=True)
        send = ravik_command([*SEND_ARGS, "--port", str(port)])
        show(send)
        sent = subprocess.run(send, stderr=subprocess.PIPE, text=True, check=False)
        time.sleep(0.5)  # let the last datagrams arrive
        listener.send_signal(signal.SIGINT)  # what Ctrl-C does: the open windows are printed too
        listener.wait(timeout=30)
    finally:
        if listener.poll() is None:
            listener.kill()
            listener.wait()
    reader.join(timeout=5)
    listener.stderr.close()

    print()
    print(sent.stderr.strip().removeprefix("ravik send: "))
    stats_lines = [m for m in messages if m.startswith("ravik listen: stats ")]
    if listener.returncode != 0 or not stats_lines:
        print("the listener failed:", *messages, sep="\n  ", file=sys.stderr)
        return 1
    stats: dict[str, int] = json.loads(stats_lines[-1].removeprefix("ravik listen: stats "))
    print("final stats of the listener:")
    width = max(map(len, stats))
    for name, value in stats.items():
        print(f"  {name:<{width}}  {value}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
