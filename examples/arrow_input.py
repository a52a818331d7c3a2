"""Events from a Polars DataFrame (or any Arrow data), results in the same call."""

import polars as pl

import ravik

frame = pl.DataFrame({
    "timestamp": list(range(0, 5_000, 10)),  # event time, ms
    "sensor": ["a", "b"] * 250,
    "value": [float(i % 10) for i in range(500)],
    "id": list(range(500)),
})
stream = ravik.NativeStream.manual(batch_size=65_536, linger_ms=1_000, capacity=1_000_000)
plan = ravik.plan(window_seconds=1, by="sensor", mean="value", event_id_field="id")
ravik.emit_arrow(stream, frame)  # read from the frame's Arrow buffers, no Python objects
result = ravik.pull(stream, plan)  # every window the watermark has passed, without waiting for the worker
if result is not None:
    for row in ravik.rows(result):
        print(row)
stream.close()
print(ravik.pull(stream, plan))  # the last window, flushed at close
