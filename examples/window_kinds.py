"""Hopping windows with a maximum, a percentile and a distinct count; session
windows with the first value and a standard deviation."""

import ravik

events = {
    "timestamp": [0, 400, 900, 1700, 5200],
    "sensor": ["a", "a", "b", "a", "a"],
    "temperature": [20.5, 21.0, 19.0, 22.5, 20.0],
    "user": [1, 2, 1, 3, 1],
    "latency_ms": [12, 40, 7, 95, 30],
}

# Windows of 2 s starting every second, by sensor.
hopping = ravik.plan(window_seconds=2, hop_seconds=1, by="sensor", watermark_ms=0, aggregates={
    "max_t": ("max", "temperature"),
    "p99": ("quantile", "latency_ms", 0.99),
    "users": ("count_distinct", "user"),
})
stream = ravik.NativeStream.manual(1024, 5, 100_000)
stream.emit_columns(events)
print("hopping:", ravik.pull(stream, hopping))  # closed by the event at 5200
stream.close()
print("flushed:", ravik.pull(stream, hopping))

# A sensor's session ends after 2 s without an event.
sessions = ravik.plan(session_gap_seconds=2, by="sensor", mean="temperature", watermark_ms=0,
                      aggregates={"first_t": ("first", "temperature"), "sd": ("stddev", "temperature")})
stream = ravik.NativeStream.manual(1024, 5, 100_000)
stream.emit_columns(events)
stream.close()
# On a closed stream, the pull after the last closed windows flushes the open ones.
while (result := ravik.pull(stream, sessions)) is not None:
    print("sessions:", result)
