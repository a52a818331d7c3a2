"""Result rows of the commands that print them (listen, consume)."""

from __future__ import annotations

import argparse
import os
import sys
from typing import TextIO

from ravik._output import RowWriter, make_writer
from ravik._types import Columns, PlanDict


class RowOutput:
    """Result rows to stdout or a file, in the chosen format, the plan's columns first."""

    def __init__(self, args: argparse.Namespace, the_plan: PlanDict) -> None:
        window = the_plan["window"]
        mean = the_plan["mean"]
        options = the_plan.get("options")
        aggregates = [a[0] for a in (options.get("aggregates") if options is not None else None) or []]
        if window is not None and (mean is not None or aggregates):
            preferred = ["window_start", "window_end", *([window["by"]] if window["by"] else []),
                         *([mean["alias"]] if mean is not None else []), "count", *aggregates]
            time_columns = {"window_start", "window_end"}
        else:
            preferred, time_columns = ["timestamp"], {"timestamp"}
        self.out: TextIO = sys.stdout
        if args.output is not None:
            self.out = open(args.output, "a", encoding="utf-8", errors="backslashreplace", newline="")
        self.writer: RowWriter = make_writer(output_format(args), self.out, preferred, time_columns)
        self.closed = False

    def write(self, batch: Columns) -> None:
        if self.closed:
            return
        try:
            self.writer.write(batch)
            self.out.flush()
        except BrokenPipeError:
            # The reader went away (`| head`): stop printing, finish cleanly.
            self.closed = True
            devnull = os.open(os.devnull, os.O_WRONLY)
            os.dup2(devnull, sys.stdout.fileno())
            os.close(devnull)

    def close(self) -> None:
        if self.out is not sys.stdout:
            self.out.close()


def output_format(args: argparse.Namespace) -> str:
    if args.format is not None:
        return str(args.format)
    if args.output is None:
        return "table"
    return "csv" if args.output.lower().endswith(".csv") else "jsonl"


class LateOutput:
    """Late events kept aside, appended to a file as JSON lines, every field."""

    def __init__(self, path: str) -> None:
        self.out = open(path, "a", encoding="utf-8", errors="backslashreplace", newline="")
        self.writer: RowWriter = make_writer("jsonl", self.out, ["timestamp"], set())

    def write(self, batch: Columns) -> None:
        self.writer.write(batch)
        self.out.flush()

    def close(self) -> None:
        self.out.close()
