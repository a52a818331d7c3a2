"""Feeding recorded events (a file of JSON lines) into a stream, parsed natively."""

import json
import pathlib
import tempfile

import ravik

recording = pathlib.Path(tempfile.mkdtemp()) / "events.jsonl"
with recording.open("w") as f:
    for i in range(1_000):
        f.write(json.dumps({"id": i % 900, "sensor": f"s{i % 3}", "value": i % 7, "timestamp": 10 * i}) + "\n")

stream = ravik.NativeStream.manual(batch_size=100_000, linger_ms=5, capacity=1_000_000)
with recording.open("rb") as f:
    ravik.emit_lines(stream, f)  # read in chunks; each line parsed like a datagram
stream.close()
plan = ravik.plan(window_seconds=5, by="sensor", mean="value", event_id_field="id")
for batch in ravik.batches(stream, plan):
    print(batch["sensor"], batch["count"])
print(stream.stats()["duplicate_events"], "duplicates")  # 100
