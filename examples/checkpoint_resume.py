"""Save a stream's state, then resume it in a new stream, as after a restart."""

import tempfile
import time
from pathlib import Path

import ravik

PLAN = ravik.plan(window_seconds=10, mean="value", event_id_field="id")


def run(path: Path, first_id: int, times: list[int], *, resume: bool) -> None:
    stream = ravik.NativeStream.manual(batch_size=1024, linger_ms=1, capacity=10_000)
    if resume:
        stream.load_checkpoint(str(path))
    ids = list(range(first_id, first_id + len(times)))
    stream.emit_columns({"id": ids, "timestamp": times, "value": [float(t) for t in times]})
    time.sleep(0.05)  # the worker cuts the queued events into a batch (linger_ms=1)
    if (batch := stream.next_batch(PLAN, 0)) is not None:
        print("closed:", batch)
    stream.save_checkpoint(str(path))
    print("saved:", stream.stats()["open_windows"], "open windows,", stream.stats()["seen_event_ids"], "ids")
    stream.close()  # the state is in the file; nothing is pulled after close


def main() -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "state.ckpt"
        run(path, 0, [1_000, 2_000, 11_000], resume=False)   # window [0, 10000) closes, [10000, 20000) stays open
        run(path, 3, [12_000, 19_000, 25_000], resume=True)  # [10000, 20000) closes with 3 events from both runs


if __name__ == "__main__":
    main()
