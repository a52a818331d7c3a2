"""The windowed workload in Pathway, run by bench/suite.py in a process of its
own (Pathway's engine, threads and logging stay out of the suite's process).

Reads the events from a CSV file written beforehand (the engine's own
reader is its fastest input path here; building a table from a pandas frame
converts row by row in Python and is slower), keeps the first event of
each id by arrival (the "seq" column), puts each event into its 10-second
window aligned to the first event's time, and reduces each (window, sensor)
to count and mean. The time counted runs from building the dataflow to the
final result in hand; the interpreter start and import are not counted.

    python bench/pathway_peer.py EVENTS.csv RESULT.json ORIGIN_MS WINDOW_MS

writes {"seconds": float, "rows": [[start, end, sensor, mean, count], ...]}.
"""

import json
import sys
import time

import pathway as pw


class Event(pw.Schema):
    seq: int
    timestamp: int
    sensor: str
    value: float
    event_id: int  # "id" is reserved for Pathway's row keys


def main() -> None:
    csv_path, out_path, origin_arg, width_arg = sys.argv[1:5]
    origin, width = int(origin_arg), int(width_arg)
    t0 = time.perf_counter()
    events = pw.io.csv.read(csv_path, schema=Event, mode="static")
    firsts = events.groupby(events.event_id).reduce(row=pw.reducers.argmin(events.seq))
    kept = events.ix(firsts.row)
    bucketed = kept.select(pw.this.sensor, pw.this.value,
                           start=origin + ((pw.this.timestamp - origin) // width) * width)
    windows = bucketed.groupby(bucketed.start, bucketed.sensor).reduce(
        bucketed.start, bucketed.sensor, count=pw.reducers.count(), mean=pw.reducers.avg(bucketed.value))
    frame = pw.debug.table_to_pandas(windows)
    rows = [[int(s), int(s) + width, g, float(m), int(c)]
            for s, g, m, c in zip(frame["start"], frame["sensor"], frame["mean"], frame["count"])]
    seconds = time.perf_counter() - t0
    with open(out_path, "w") as f:
        json.dump({"seconds": seconds, "rows": rows}, f)


if __name__ == "__main__":
    main()
