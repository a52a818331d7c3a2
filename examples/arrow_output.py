"""Results as Arrow data, handed to Polars and DuckDB without converting through Python lists."""

import duckdb
import polars as pl

import ravik

stream = ravik.NativeStream.manual(batch_size=10_000, linger_ms=5, capacity=100_000)
plan = ravik.plan(window_seconds=1, by="sensor", mean="value")
stream.emit_columns({
    "timestamp": list(range(0, 5_000, 10)),  # event time, ms
    "sensor": ["a", "b"] * 250,
    "value": [float(i % 10) for i in range(500)],
})
stream.close()
for batch in ravik.arrow_batches(stream, plan):
    frame = pl.DataFrame(batch)  # numeric columns are not copied
    print(frame.sort("window_start", "sensor"))
    # DuckDB scans the batch (a Python variable) through its Arrow stream; so does pyarrow.table(batch).
    print(duckdb.execute("select sensor, sum(count) from batch group by sensor order by sensor").fetchall())
