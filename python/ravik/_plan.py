"""Building plan dicts from keyword arguments, and filters from short texts."""

from __future__ import annotations

import difflib
import re
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, TypeAlias, TypedDict, Unpack

from ravik._types import FilterDict, MeanDict, PlanDict, PlanOptionsDict, Scalar, WindowDict

#: The comparison operators a filter can use. Longer ones first, so that the
#: text parser sees ``>=`` before ``>``.
OPERATORS: tuple[str, ...] = ("==", "!=", ">=", "<=", ">", "<")

# Operator spellings from other languages, mapped to the one meant.
_OPERATOR_HINTS = {"=": "==", "===": "==", "<>": "!=", "=>": ">=", "=<": "<=", "!==": "!="}

# Output columns that every window row has; a group-by field or mean alias
# with one of these names would overwrite it.
_WINDOW_COLUMNS = ("window_start", "window_end", "count")


def _describe(value: object) -> str:
    return type(value).__name__


def _check_field_name(what: str, value: object) -> str:
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {_describe(value)}")
    if not value:
        raise ValueError(f"{what} must not be empty")
    return value


def _check_operator(op: object) -> str:
    if not isinstance(op, str):
        raise TypeError(f"filter operator must be a str, not {_describe(op)}")
    if op in OPERATORS:
        return op
    hint = _OPERATOR_HINTS.get(op.strip())
    if hint is None and op.strip() in OPERATORS:
        hint = op.strip()
    suggestion = f"; did you mean {hint!r}?" if hint else ""
    raise ValueError(f"unknown filter operator {op!r} (use one of {' '.join(OPERATORS)}){suggestion}")


def _check_scalar(value: object) -> Scalar:
    if value is None or isinstance(value, (bool, int, float, str)):
        return value
    raise TypeError(f"filter value must be None, bool, int, float or str, not {_describe(value)}")


@dataclass(frozen=True, slots=True)
class Filter:
    """One filter: keep the events whose ``field`` compares true with ``value``.

    Numbers compare with numbers (an int and a float alike), strings and bools
    only with ``==`` and ``!=``; an event without the field never passes.
    """

    field: str
    op: str
    value: Scalar

    def __post_init__(self) -> None:
        _check_field_name("filter field", self.field)
        _check_operator(self.op)
        _check_scalar(self.value)

    @classmethod
    def parse(cls, text: str) -> Filter:
        """Parse ``'field op value'``, for example ``'value > 20.5'``.

        The value is read as ``null``, ``true``/``false``, an integer, a
        decimal number, a quoted string (single or double quotes, taken as
        written between them) or, failing all of those, the bare text itself:
        ``sensor == eu`` and ``sensor == "eu"`` are the same filter.
        """
        if not isinstance(text, str):
            raise TypeError(f"filter text must be a str, not {_describe(text)}")
        match = _FILTER_TEXT.match(text)
        if match is None:
            bad = _BAD_OPERATOR.search(text)
            if bad is not None:
                _check_operator(bad.group(0))
            raise ValueError(f"filter {text!r} is not 'field op value' (op one of {' '.join(OPERATORS)})")
        field, op, raw = match.group("field").strip(), match.group("op"), match.group("value").strip()
        if not field:
            raise ValueError(f"filter {text!r} has no field name before {op!r}")
        if not raw:
            raise ValueError(f"filter {text!r} has no value after {op!r}")
        return cls(field, op, _parse_value(raw))

    def to_dict(self) -> FilterDict:
        """The filter as the dict a plan holds."""
        return {"field": self.field, "op": self.op, "value": self.value}


_FILTER_TEXT = re.compile(r"^(?P<field>[^=!<>]*?)\s*(?P<op>==|!=|>=|<=|>|<)(?![=<>])\s*(?P<value>.*)$", re.DOTALL)
_BAD_OPERATOR = re.compile(r"[=!<>]+")
_INT_TEXT = re.compile(r"[+-]?\d+")
_FLOAT_TEXT = re.compile(r"[+-]?(\d+\.\d*|\.\d+|\d+)([eE][+-]?\d+)?")


def _parse_value(raw: str) -> Scalar:
    if len(raw) >= 2 and raw[0] == raw[-1] and raw[0] in "'\"":
        return raw[1:-1]
    if raw == "null":
        return None
    if raw in ("true", "false"):
        return raw == "true"
    if _INT_TEXT.fullmatch(raw):
        return int(raw)
    if _FLOAT_TEXT.fullmatch(raw):
        return float(raw)
    return raw


#: What ``filters=`` accepts for each filter.
FilterLike: TypeAlias = Filter | FilterDict | str | tuple[str, str, Scalar]


def _to_filter(item: object) -> FilterDict:
    if isinstance(item, Filter):
        return item.to_dict()
    if isinstance(item, str):
        return Filter.parse(item).to_dict()
    if isinstance(item, tuple):
        if len(item) != 3:
            raise ValueError(f"a filter tuple has three items (field, op, value), not {len(item)}")
        return Filter(item[0], item[1], item[2]).to_dict()
    if isinstance(item, Mapping):
        keys = set(item)
        if keys != {"field", "op", "value"}:
            raise ValueError(f"a filter dict has exactly the keys 'field', 'op' and 'value', not {sorted(map(str, keys))}")
        return Filter(item["field"], item["op"], item["value"]).to_dict()
    raise TypeError(f"a filter is a 'field op value' str, a Filter, a (field, op, value) tuple or a dict, not {_describe(item)}")


class PlanOptions(TypedDict, total=False):
    """The keyword arguments of :func:`plan`."""

    filters: Iterable[FilterLike]
    select: Sequence[str] | None
    window_seconds: int | None
    by: str | None
    time_field: str
    mean: str | None
    alias: str | None
    watermark_ms: int | None
    allowed_lateness_ms: int | None
    event_id_field: str | None
    drop_late: bool
    align: str | int | None
    idle_close_ms: int | None
    late: str | None
    dedup_horizon_ms: int | None
    window_ms: int | None
    hop_seconds: int | None
    hop_ms: int | None
    session_gap_seconds: int | None
    session_gap_ms: int | None
    aggregates: Mapping[str, AggregateLike] | None


_OPTION_NAMES: tuple[str, ...] = tuple(PlanOptions.__annotations__)

# Names people reach for that are far from the real one in spelling.
_OPTION_HINTS = {
    "window": "window_seconds",
    "seconds": "window_seconds",
    "window_s": "window_seconds",
    "window_ms": "window_seconds",
    "group_by": "by",
    "groupby": "by",
    "group": "by",
    "lateness": "allowed_lateness_ms",
    "lateness_ms": "allowed_lateness_ms",
    "allowed_lateness": "allowed_lateness_ms",
    "watermark": "watermark_ms",
    "id_field": "event_id_field",
    "event_id": "event_id_field",
    "dedup_field": "event_id_field",
    "timestamp_field": "time_field",
    "filter": "filters",
    "where": "filters",
    "fields": "select",
    "columns": "select",
    "mean_field": "mean",
    "average": "mean",
    "avg": "mean",
    "mean_alias": "alias",
    "keep_late": "drop_late",
    "alignment": "align",
    "origin": "align",
    "idle_ms": "idle_close_ms",
    "idle_timeout_ms": "idle_close_ms",
    "horizon_ms": "dedup_horizon_ms",
    "dedup_ttl_ms": "dedup_horizon_ms",
    "late_events": "late",
    "hop": "hop_seconds",
    "slide": "hop_seconds",
    "slide_seconds": "hop_seconds",
    "every": "hop_seconds",
    "session_gap": "session_gap_seconds",
    "gap": "session_gap_seconds",
    "session": "session_gap_seconds",
    "aggs": "aggregates",
    "agg": "aggregates",
    "aggregations": "aggregates",
}

#: The aggregate functions of ``aggregates=``; ``quantile`` takes a rank
#: (0 to 1, default 0.5), ``count_distinct`` log2 of its buckets (4 to 21,
#: default 12).
AGGREGATE_FUNCTIONS: tuple[str, ...] = ("count", "sum", "mean", "min", "max", "first", "last", "var", "stddev",
                                        "count_distinct", "quantile")
_FUNCTION_HINTS = {"avg": "mean", "average": "mean", "std": "stddev", "variance": "var", "nunique": "count_distinct",
                   "distinct": "count_distinct", "approx_distinct": "count_distinct", "percentile": "quantile",
                   "median": "quantile", "p": "quantile"}

#: What ``aggregates=`` takes for each output name: ``(function, field)``,
#: ``(function, field, argument)`` or the text ``"function:field[:argument]"``.
AggregateLike: TypeAlias = "tuple[str, str] | tuple[str, str, float] | str"


def _aggregate(name: object, spec: object) -> list[Any]:
    _check_field_name("an aggregate's name", name)
    if isinstance(spec, str):
        parts: list[Any] = spec.split(":")
        if len(parts) == 3:
            try:
                parts[2] = float(parts[2])
            except ValueError:
                raise ValueError(f"aggregate {name!r}: argument {parts[2]!r} is not a number") from None
    elif isinstance(spec, (tuple, list)):
        parts = list(spec)
    else:
        raise TypeError(f"aggregate {name!r} is (function, field[, argument]) or 'function:field[:argument]', "
                        f"not {_describe(spec)}")
    if len(parts) == 1 and parts[0] == "count":
        parts.append("*")
    if len(parts) not in (2, 3):
        raise ValueError(f"aggregate {name!r} is (function, field[, argument]), not {len(parts)} items")
    function, field = parts[0], parts[1]
    if not isinstance(function, str):
        raise TypeError(f"aggregate {name!r}: function must be a str, not {_describe(function)}")
    if function not in AGGREGATE_FUNCTIONS:
        guess = _FUNCTION_HINTS.get(function) or next(
            iter(difflib.get_close_matches(function, AGGREGATE_FUNCTIONS, n=1, cutoff=0.5)), None)
        hint = f"; did you mean {guess!r}?" if guess else ""
        raise ValueError(f"aggregate {name!r}: unknown function {function!r} "
                         f"(use one of {', '.join(AGGREGATE_FUNCTIONS)}){hint}")
    _check_field_name(f"aggregate {name!r}: field", field)
    if field == "*" and function != "count":
        raise ValueError(f"aggregate {name!r}: only count takes the field '*' (every event)")
    arg: float | None = None
    if len(parts) == 3:
        raw = parts[2]
        if isinstance(raw, bool) or not isinstance(raw, (int, float)):
            raise TypeError(f"aggregate {name!r}: argument must be a number, not {_describe(raw)}")
        arg = float(raw)
        if function == "quantile" and not 0.0 <= arg <= 1.0:
            raise ValueError(f"aggregate {name!r}: a quantile's rank is between 0 and 1, not {raw}")
        if function == "count_distinct" and (arg != int(arg) or not 4 <= arg <= 21):
            raise ValueError(f"aggregate {name!r}: count_distinct takes log2 of its buckets, an integer from 4 to 21")
        if function not in ("quantile", "count_distinct"):
            raise ValueError(f"aggregate {name!r}: {function} takes no argument")
    return [name, function, field, arg]


def _ms_option(options: PlanOptions, stem: str) -> int | None:
    """``<stem>_seconds`` or ``<stem>_ms`` in milliseconds (one of them at most)."""
    seconds = _optional_int(f"{stem}_seconds", options.get(f"{stem}_seconds"), minimum=1)
    ms = _optional_int(f"{stem}_ms", options.get(f"{stem}_ms"), minimum=1)
    if seconds is not None and ms is not None:
        raise ValueError(f"give {stem}_seconds or {stem}_ms, not both")
    value = seconds * 1000 if seconds is not None else ms
    if value is not None and value > 2**63 - 1:
        raise ValueError(f"{stem}_seconds {seconds} is out of range")
    return value


def _unknown_option(name: str) -> TypeError:
    guess = _OPTION_HINTS.get(name) or next(iter(difflib.get_close_matches(name, _OPTION_NAMES, n=1, cutoff=0.5)), None)
    hint = f" Did you mean {guess!r}?" if guess else ""
    return TypeError(f"plan() got an unexpected keyword argument {name!r}.{hint} Valid names: {', '.join(_OPTION_NAMES)}")


def _optional_int(name: str, value: object, *, minimum: int) -> int | None:
    if value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {_describe(value)}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, not {value}")
    return value


def _optional_name(name: str, value: object) -> str | None:
    return None if value is None else _check_field_name(name, value)


def plan(**options: Unpack[PlanOptions]) -> PlanDict:
    """Build the plan dict that ``next_batch`` and ``aggregate_columns`` take.

    Every argument is optional and keyword-only; ``plan()`` alone passes
    every event through unchanged. See the plan reference in the README for
    each option's meaning and default.

    ``window_seconds`` and ``mean`` go together (a window reports the count and
    the mean of one field); ``by``, ``alias`` and a ``time_field`` other than
    ``"timestamp"`` need them. The alias defaults to ``"mean_<field>"``.
    Misspelt or misplaced options raise TypeError, bad values ValueError,
    before any event is touched.

    For streams that run forever: ``align`` (``"epoch"`` or an origin in ms),
    ``idle_close_ms``, ``late="side"`` and ``dedup_horizon_ms`` (at least
    ``watermark_ms + allowed_lateness_ms``); see the README. A plan with any
    of them carries an ``"options"`` entry and is taken by the package's
    pulls, the listener and the Kafka member; ``next_batch`` and
    ``aggregate_columns`` refuse it.
    """
    for name in options:
        if name not in _OPTION_NAMES:
            raise _unknown_option(name)

    filters_arg = options.get("filters", ())
    single = isinstance(filters_arg, (str, Filter, Mapping)) or (
        isinstance(filters_arg, tuple) and len(filters_arg) == 3 and filters_arg[1] in OPERATORS
    )
    if single:
        raise TypeError("filters takes a list of filters; wrap a single filter in a list, e.g. filters=['value > 20']")
    if not isinstance(filters_arg, Iterable):
        raise TypeError(f"filters must be a list of filters, not {_describe(filters_arg)}")
    filters = [_to_filter(item) for item in filters_arg]

    select_arg = options.get("select")
    select: list[str] | None = None
    if select_arg is not None:
        if isinstance(select_arg, (str, bytes)) or not isinstance(select_arg, Iterable):
            raise TypeError(f"select must be a list of field names, not {_describe(select_arg)}")
        select = [_check_field_name("a select entry", name) for name in select_arg]

    seconds = _optional_int("window_seconds", options.get("window_seconds"), minimum=1)
    if seconds is not None and seconds * 1000 > 2**63 - 1:
        raise ValueError(f"window_seconds {seconds} is out of range")
    by = _optional_name("by", options.get("by"))
    time_field = _check_field_name("time_field", options.get("time_field", "timestamp"))
    mean_field = _optional_name("mean", options.get("mean"))
    alias = _optional_name("alias", options.get("alias"))

    window_ms = _optional_int("window_ms", options.get("window_ms"), minimum=1)
    if seconds is not None and window_ms is not None:
        raise ValueError("give window_seconds or window_ms, not both")
    hop_ms = _ms_option(options, "hop")
    gap_ms = _ms_option(options, "session_gap")
    aggregates_arg = options.get("aggregates")
    aggregates: list[list[Any]] = []
    if aggregates_arg is not None:
        if not isinstance(aggregates_arg, Mapping):
            raise TypeError(f"aggregates maps output names to (function, field[, argument]), not {_describe(aggregates_arg)}")
        aggregates = [_aggregate(name, spec) for name, spec in aggregates_arg.items()]
    length_ms = seconds * 1000 if seconds is not None else window_ms
    if gap_ms is not None and length_ms is not None:
        raise ValueError("session windows have no fixed length: give session_gap_seconds without window_seconds")
    if gap_ms is not None and hop_ms is not None:
        raise ValueError("a window hops or is a session, not both")
    if hop_ms is not None:
        if length_ms is None:
            raise ValueError("hop_seconds needs window_seconds: a hopping window has a length and a hop")
        if hop_ms > length_ms or length_ms % hop_ms:
            raise ValueError(f"the window length ({length_ms} ms) must be a multiple of the hop ({hop_ms} ms)")

    window: WindowDict | None = None
    mean: MeanDict | None = None
    if length_ms is None and gap_ms is None:
        for name, given in (("mean", mean_field is not None), ("by", by is not None), ("alias", alias is not None),
                            ("time_field", time_field != "timestamp"), ("aggregates", bool(aggregates))):
            if given:
                raise ValueError(f"{name} needs window_seconds: only windowed plans group, average or use a time_field")
    else:
        if mean_field is None and not aggregates:
            raise ValueError("window_seconds needs mean=<field>: each window reports a count and the mean of one field "
                             "(or aggregates={...})")
        if by is not None and by in _WINDOW_COLUMNS:
            raise ValueError(f"by={by!r} would overwrite the window column of the same name")
        if mean_field is not None:
            alias = alias if alias is not None else f"mean_{mean_field}"
            if alias in _WINDOW_COLUMNS or alias == by:
                raise ValueError(f"alias={alias!r} would overwrite the window column of the same name")
            mean = {"field": mean_field, "alias": alias}
        elif alias is not None:
            raise ValueError("alias names the mean: it needs mean=<field>")
        for name, *_ in aggregates:
            if name in _WINDOW_COLUMNS or name == by or (mean is not None and name == mean["alias"]):
                raise ValueError(f"aggregate {name!r} would overwrite the window column of the same name")
        # The dict's seconds serve the contract's plans; a length in ms, a
        # session gap or a hop travel in the options.
        dict_seconds = seconds if seconds is not None else max(1, -(-(length_ms or gap_ms or 0) // 1000))
        window = {"seconds": dict_seconds, "by": by, "time_field": time_field}

    drop_late = options.get("drop_late", True)
    if not isinstance(drop_late, bool):
        raise TypeError(f"drop_late must be a bool, not {_describe(drop_late)}")

    result: PlanDict = {
        "filters": filters,
        "select": select,
        "window": window,
        "mean": mean,
        "watermark_ms": _optional_int("watermark_ms", options.get("watermark_ms"), minimum=0),
        "allowed_lateness_ms": _optional_int("allowed_lateness_ms", options.get("allowed_lateness_ms"), minimum=0),
        "event_id_field": _optional_name("event_id_field", options.get("event_id_field")),
        "drop_late": drop_late,
    }
    extra = _stream_options(options, result)
    shaped = window_ms is not None or hop_ms is not None or gap_ms is not None or aggregates
    if shaped and extra is None:
        extra = {"align_origin_ms": None, "idle_close_ms": None, "late": None, "dedup_horizon_ms": None}
    if extra is not None:
        if window_ms is not None:
            extra["window_ms"] = window_ms
        if hop_ms is not None:
            extra["hop_ms"] = hop_ms
        if gap_ms is not None:
            extra["session_gap_ms"] = gap_ms
        if aggregates:
            extra["aggregates"] = aggregates
        result["options"] = extra
    return result


def _stream_options(options: PlanOptions, base: PlanDict) -> PlanOptionsDict | None:
    """The options beyond the eight keys, checked; None when none is given."""
    given = {name: options[name] for name in _STREAM_OPTIONS if options.get(name) is not None}  # type: ignore[literal-required]
    if not given:
        return None
    align = given.get("align")
    origin: int | None = None
    if align is not None:
        if align == "epoch":
            origin = 0
        elif isinstance(align, int) and not isinstance(align, bool):
            if not -(2**63) <= align < 2**63:
                raise ValueError(f"align origin {align} is out of range")
            origin = align
        else:
            raise TypeError(f"align must be 'epoch' or an origin in ms (int), not {align!r}")
        if base["window"] is None:
            raise ValueError("align needs window_seconds: only windows are aligned")
    idle = _optional_int("idle_close_ms", given.get("idle_close_ms"), minimum=1)
    if idle is not None and base["window"] is None:
        raise ValueError("idle_close_ms needs window_seconds: idleness closes windows")
    late = given.get("late")
    if late is not None:
        if late not in ("drop", "side"):
            raise ValueError(f"late must be 'drop' or 'side', not {late!r}")
        if late == "side" and not base["drop_late"]:
            raise ValueError("late='side' keeps late events aside; it cannot go with drop_late=False")
    horizon = _optional_int("dedup_horizon_ms", given.get("dedup_horizon_ms"), minimum=0)
    if horizon is not None:
        if base["event_id_field"] is None:
            raise ValueError("dedup_horizon_ms needs event_id_field: it bounds how long ids are remembered")
        least = (base["watermark_ms"] or 0) + (base["allowed_lateness_ms"] or 0)
        if horizon < least:
            raise ValueError(f"dedup_horizon_ms must be at least watermark_ms + allowed_lateness_ms ({least}): "
                             "a shorter horizon would let duplicates that are not late through")
    return {"align_origin_ms": origin, "idle_close_ms": idle, "late": late, "dedup_horizon_ms": horizon}


_STREAM_OPTIONS = ("align", "idle_close_ms", "late", "dedup_horizon_ms")
