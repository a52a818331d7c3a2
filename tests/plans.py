"""The full eight-key plan dict that every test module builds its plans from."""

PLAN_KEYS = (
    "filters",
    "select",
    "window",
    "mean",
    "watermark_ms",
    "allowed_lateness_ms",
    "event_id_field",
    "drop_late",
)


def make_plan(**overrides):
    """A full plan dict (every key present, None or no filters) with the given keys replaced."""
    unknown = set(overrides) - set(PLAN_KEYS)
    if unknown:
        raise KeyError(f"not plan keys: {sorted(unknown)}")
    plan = {key: None for key in PLAN_KEYS}
    plan["filters"] = []
    plan.update(overrides)
    return plan
