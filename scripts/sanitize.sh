#!/usr/bin/env bash
# Builds the extension with a sanitizer into its own virtual environment and
# runs pytest under it with the sanitizer runtime preloaded.
#   bash scripts/sanitize.sh address [pytest args]   AddressSanitizer + UBSan, whole suite by default
#   bash scripts/sanitize.sh thread  [pytest args]   ThreadSanitizer, concurrency tests by default
set -euo pipefail
kind="${1:-address}"
shift || true
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$kind" in
    address) runtime="$(g++ -print-file-name=libasan.so)"; extra_runtime="$(g++ -print-file-name=libubsan.so)" ;;
    thread) runtime="$(g++ -print-file-name=libtsan.so)"; extra_runtime="" ;;
    *) echo "usage: $0 address|thread [pytest args]" >&2; exit 2 ;;
esac
export RAVIK_VENV="$root/.venv-$kind"
export RAVIK_BUILD_ARGS="-C build-dir=build/$kind -C cmake.define.RAVIK_SANITIZE=$kind -C cmake.build-type=RelWithDebInfo"
source "$root/scripts/bootstrap.sh"
cd "$root"

export PYTHONMALLOC=malloc
export LD_PRELOAD="$runtime${extra_runtime:+ $extra_runtime}"
# Python itself keeps memory alive until exit; leaks are checked with valgrind instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1${TSAN_SUPPRESSIONS:+:suppressions=$TSAN_SUPPRESSIONS}"
export RAVIK_SANITIZER="$kind"
if [ $# -eq 0 ]; then
    if [ "$kind" = thread ]; then set -- -m concurrency; else set -- ; fi
fi
exec "$PY" -m pytest -p no:cacheprovider "$@"
