# Sourced by the other scripts: finds CPython 3.13, creates .venv beside the
# project, installs the build and test dependencies and (re)builds the
# extension incrementally. Running it again reuses what is there.
set -euo pipefail

RAVIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
RAVIK_VENV="${RAVIK_VENV:-$RAVIK_ROOT/.venv}"

find_python313() {
    local candidate
    for candidate in /root/.pyenv/versions/3.13.*/bin/python3.13 "$HOME"/.pyenv/versions/3.13.*/bin/python3.13 \
                     /usr/bin/python3.13 /usr/local/bin/python3.13 "$(command -v python3.13 2>/dev/null || true)"; do
        if [ -n "$candidate" ] && [ -x "$candidate" ] &&
           "$candidate" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 13) else 1)' 2>/dev/null; then
            echo "$candidate"
            return 0
        fi
    done
    return 1
}

if [ ! -x "$RAVIK_VENV/bin/python" ]; then
    PY313="$(find_python313)" || { echo "CPython 3.13 not found (pyenv 3.13.x or /usr/bin/python3.13)" >&2; exit 1; }
    if ! "$PY313" -m venv "$RAVIK_VENV" 2>/dev/null; then
        # Debian's python3.13 ships venv separately.
        apt-get update -qq && apt-get install -y -qq python3.13-venv >/dev/null
        "$PY313" -m venv "$RAVIK_VENV"
    fi
fi
PY="$RAVIK_VENV/bin/python"

stamp="$RAVIK_VENV/.ravik-deps"
deps_hash="$(cat "$RAVIK_ROOT/pyproject.toml" | sha1sum | cut -d' ' -f1)"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$deps_hash" ]; then
    "$PY" -m pip install -q --upgrade pip
    "$PY" -m pip install -q "scikit-build-core>=0.11" "pybind11>=3,<4" "numpy>=1.26" "pytest>=8" mypy cmake ninja \
        "pyarrow>=14" "polars>=1" "duckdb>=1" "pandas>=2" "prometheus_client>=0.20" "confluent-kafka>=2.3" ${RAVIK_EXTRA_DEPS:-}
    echo "$deps_hash" > "$stamp"
fi

# Build and install the extension; the persistent build directory keeps
# rebuilds incremental.
"$PY" -m pip install -q --no-build-isolation --no-deps "$RAVIK_ROOT" ${RAVIK_BUILD_ARGS:-}
