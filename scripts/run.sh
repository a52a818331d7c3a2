#!/usr/bin/env bash
# Sets everything up if needed, then runs the demo job.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$RAVIK_ROOT"
exec "$PY" examples/demo.py "$@"
