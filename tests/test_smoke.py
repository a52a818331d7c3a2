import _ravik


def test_manual_stream_round_trip():
    s = _ravik.NativeStream.manual(64, 0, 1024)
    s.emit_json({"a": 1, "timestamp": 5})
    s.close()
    plan = {"filters": [], "select": None, "window": None, "mean": None, "watermark_ms": None,
            "allowed_lateness_ms": None, "event_id_field": None, "drop_late": None}
    assert s.next_batch(plan, 0) == {"a": [1], "timestamp": [5]}
