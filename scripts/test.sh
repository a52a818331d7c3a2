#!/usr/bin/env bash
# Sets everything up if needed, then runs the whole test suite. On CI (CI=true)
# or with RAVIK_ASAN=1 the suite then runs a second time, on a build with
# AddressSanitizer + UBSan (scripts/sanitize.sh address); on CI or with
# RAVIK_TSAN=1 the tests marked concurrency run on a ThreadSanitizer build
# (scripts/sanitize.sh thread). Arguments go to pytest in every pass. Exits non-zero when either pass fails; pytest's own
# codes are kept, so "no tests collected" (5) fails as well.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$RAVIK_ROOT"

status=0
# The floors below the bindings include no Python: no header of CPython,
# pybind11, NumPy or src/python in src/core or src/stream (the engine tests,
# built without Python's include paths, prove the same by compiling).
if grep -rnE '#[[:space:]]*include[[:space:]]*[<"](Python\.h|pybind11/|numpy/|'"$(cd src/python && ls *.hpp | paste -sd'|')"')' src/core src/stream; then
    echo "src/core or src/stream includes a Python header (above)" >&2
    status=1
fi
"$PY" -m pytest "$@" || status=$?
echo "test suite: exit $status" >&2

if [ "${CI:-}" = true ] || [ "${RAVIK_ASAN:-0}" = 1 ]; then
    asan_status=0
    bash scripts/sanitize.sh address "$@" || asan_status=$?
    echo "test suite under AddressSanitizer + UBSan: exit $asan_status" >&2
    [ "$status" -ne 0 ] || status=$asan_status
fi
if [ "${CI:-}" = true ] || [ "${RAVIK_TSAN:-0}" = 1 ]; then
    tsan_status=0
    bash scripts/sanitize.sh thread "$@" || tsan_status=$?
    echo "concurrency tests under ThreadSanitizer: exit $tsan_status" >&2
    [ "$status" -ne 0 ] || status=$tsan_status
fi
exit "$status"
