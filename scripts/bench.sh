#!/usr/bin/env bash
# Sets everything up if needed, installs the benchmark peers (the optional
# dependency group "bench" of pyproject.toml), then runs the benchmark suite:
#   bash scripts/bench.sh [--only windowed,udp] [--runs 5] [--readme]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$RAVIK_ROOT"

peers="$("$PY" -c 'import tomllib; print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bench"]))')"
stamp="$RAVIK_VENV/.ravik-bench-deps"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$peers" ]; then
    # Installed by name rather than as ".[bench]" so that pip does not build the package a second time.
    # shellcheck disable=SC2086
    "$PY" -m pip install -q $peers
    echo "$peers" > "$stamp"
fi
exec "$PY" bench/suite.py "$@"
