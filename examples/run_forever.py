"""A stream that runs for months: epoch-aligned windows, closing when the sender
goes quiet, late events kept aside, event ids forgotten after a horizon."""

import time

import ravik

plan = ravik.plan(
    window_seconds=1, by="sensor", mean="value", event_id_field="id",
    watermark_ms=200,
    align="epoch",            # windows [k*1000, (k+1)*1000): the same on every machine and after restarts
    idle_close_ms=300,        # a quiet stream's watermark follows the wall clock after 300 ms
    late="side",              # late events are kept for ravik.late_events
    dedup_horizon_ms=60_000,  # ids older than a minute of event time are forgotten
)
stream = ravik.NativeStream.manual(batch_size=1024, linger_ms=5, capacity=100_000)
now = time.time_ns() // 1_000_000
stream.emit_columns({
    "timestamp": [now - 50, now - 20, now - 5_000],   # the last one is late
    "sensor": ["a", "a", "a"],
    "value": [1.0, 3.0, 9.0],
    "id": [1, 2, 3],
})
for batch in ravik.batches(stream, plan):
    print("closed for idleness:", batch)  # the sender stopped: its window closes on its own
    break
print("late:", ravik.late_events(stream))
print("watermark lag (ms):", ravik.diagnostics(stream)["lag_ms"])
stream.close()
