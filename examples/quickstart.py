"""Quick start: windowed means per sensor from events emitted by Python."""

import ravik

stream = ravik.NativeStream.manual(batch_size=1024, linger_ms=5, capacity=100_000)
plan = ravik.plan(window_seconds=10, by="sensor", mean="value")
stream.emit_columns({
    "timestamp": [1_000, 4_000, 12_000, 15_000, 21_000],  # event time, ms
    "sensor": ["a", "b", "a", "a", "b"],
    "value": [1.0, 2.0, 3.0, 5.0, 8.0],
})
stream.close()  # no more events: the windows still open come out as well
for batch in ravik.batches(stream, plan):
    for row in ravik.rows(batch):
        print(row)
