#!/usr/bin/env bash
# Builds the extension with a sanitizer into its own virtual environment and
# runs pytest under it with the sanitizer runtime preloaded.
#   bash scripts/sanitize.sh address [pytest args]   AddressSanitizer + UBSan, whole suite by default
#   bash scripts/sanitize.sh thread  [pytest args]   ThreadSanitizer, the tests marked concurrency
#                                                     (unless the arguments give -m themselves)
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
# Unstripped (RelWithDebInfo, which CMakeLists.txt turns into -O1 -g1 here), so
# that reports name functions and lines.
export RAVIK_BUILD_ARGS="-C build-dir=build/$kind -C cmake.define.RAVIK_SANITIZE=$kind -C cmake.build-type=RelWithDebInfo -C install.strip=false"
source "$root/scripts/bootstrap.sh"
cd "$root"

export PYTHONMALLOC=malloc
export LD_PRELOAD="$runtime${extra_runtime:+ $extra_runtime}"
# Reports go to files, one per process: pytest captures file descriptor 2
# while a test runs, so a report written there would vanish with a process
# that a sanitizer stops, and a subprocess's report could go unnoticed.
reports="$root/build/$kind/reports"
rm -rf "$reports"
mkdir -p "$reports"
# Python itself keeps memory alive until exit; leaks are checked with valgrind instead.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1:log_path=$reports/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan"
# scripts/tsan.supp: narrow suppressions, each with its reason.
TSAN_SUPPRESSIONS="${TSAN_SUPPRESSIONS:-$root/scripts/tsan.supp}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:log_path=$reports/tsan:suppressions=$TSAN_SUPPRESSIONS"
export RAVIK_SANITIZER="$kind"
# ThreadSanitizer runs the tests marked `concurrency` unless the arguments pick
# tests by marker themselves.
selection=()
if [ "$kind" = thread ] && [[ " $* " != *" -m "* ]]; then selection=(-m concurrency); fi
# ThreadSanitizer keeps its shadow for fixed address ranges; with the kernel's
# mmap randomisation a mapping made late in a long run can fall outside them
# (seen once in CI: "failed to allocate ... (errno: 12)" in the middle of the
# run). Without address randomisation mappings start at the top of the
# address space, as far from those limits as they can be. Newer TSan runtimes
# re-execute themselves this way; this one does not. Where the personality
# cannot be changed, the run goes on as before.
launcher=()
if [ "$kind" = thread ] && setarch "$(uname -m)" -R true 2>/dev/null; then
    launcher=(setarch "$(uname -m)" -R)
fi
status=0
"${launcher[@]}" "$PY" -m pytest -p no:cacheprovider "${selection[@]}" "$@" || status=$?
# Any report fails the run, even one from a subprocess whose exit a test did not check.
if [ -n "$(ls -A "$reports")" ]; then
    for report in "$reports"/*; do
        echo "==== $report" >&2
        cat "$report" >&2
    done
    [ "$status" -ne 0 ] || status=1
fi
exit "$status"
