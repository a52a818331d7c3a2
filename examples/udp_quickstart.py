"""A UDP stream in one process: bind a free port, send datagrams to it, pull windows."""

import json
import socket
import time

import ravik


def main() -> None:
    stream = ravik.NativeStream.udp("127.0.0.1", 0, batch_size=1024, linger_ms=5, capacity=100_000)
    host, port = stream.address()
    print(f"listening on {host}:{port}")
    plan = ravik.plan(window_seconds=1, by="sensor", mean="value", event_id_field="id")

    events = [{"id": i, "sensor": f"s{i % 2}", "value": float(i), "timestamp": 1_000 * (i // 4)} for i in range(12)]
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
        for event in events + events[:3]:  # the last three are resends: dropped as duplicates
            sender.sendto(json.dumps(event).encode(), (host, port))

    deadline = time.monotonic() + 2.0
    while stream.stats()["ingested"] < 15 and time.monotonic() < deadline:
        if (batch := stream.next_batch(plan, 50)) is not None:
            print(batch)
    stream.close()
    for batch in ravik.batches(stream, plan):
        print(batch)
    print(stream.stats())


if __name__ == "__main__":
    main()
