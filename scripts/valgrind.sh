#!/usr/bin/env bash
# Runs part of the test suite under valgrind's memcheck and fails on a
# definite leak or a memory error with a frame in the extension module _ravik.
#   bash scripts/valgrind.sh [pytest args]
# Default selection: the in-process stream tests (manual and UDP streams,
# checkpoints, the package); subprocesses run natively. The module is the
# normal Release build, left unstripped and with line tables (-g1) so that
# reports name functions and lines; it lives in .venv-valgrind.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
command -v valgrind >/dev/null || { echo "valgrind not found: apt-get install valgrind" >&2; exit 1; }
export RAVIK_VENV="$root/.venv-valgrind"
# CMAKE_STRIP=true turns pybind11's post-link strip into a no-op.
export RAVIK_BUILD_ARGS="-C build-dir=build/valgrind -C cmake.build-type=Release -C cmake.define.CMAKE_CXX_FLAGS=-g1 -C cmake.define.CMAKE_STRIP=/bin/true -C install.strip=false"
source "$root/scripts/bootstrap.sh"
cd "$root"

if [ $# -eq 0 ]; then
    set -- tests/test_smoke.py tests/test_package.py tests/test_checkpoint.py tests/test_udp.py tests/test_flat_json.py \
        -k "not killed_saver"
fi
log="$root/build/valgrind/memcheck.log"
export PYTHONMALLOC=malloc
status=0
valgrind --tool=memcheck --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
    --num-callers=40 --log-file="$log" "$PY" -m pytest -p no:cacheprovider -q "$@" || status=$?

# One record per error or leak, separated by blank lines; keep those that
# pass through the extension module. Records whose path into the module is its
# initialisation (pybind11_exec__ravik, once per process at import) are the
# method-name strings that the interpreter interns and never frees at exit,
# like its own; they are counted apart and do not fail the run.
"$PY" - "$log" "$root/src" <<'EOF' || status=$?
import glob
import os
import re
import sys

text = open(sys.argv[1], errors="replace").read()
records = re.split(r"\n==\d+== \n", text)
kinds = ("definitely lost", "Invalid ", "uninitialised", "Mismatched", "overlap")
# A frame in the module: its namespace, its pybind11 code, its sources, or its file name.
sources = "|".join(re.escape(os.path.basename(f)) for f in glob.glob(os.path.join(sys.argv[2], "*", "*.[ch]pp")))
ours_frame = re.compile(r"\bravik::|pybind11::|_ravik\b|_ravik\.cpython|\((?:%s):\d+\)" % sources)
ours = [r for r in records if ours_frame.search(r) and any(k in r for k in kinds)]
at_import = [r for r in ours if "pybind11_exec__ravik" in r and "definitely lost" in r]
ours = [r for r in ours if r not in at_import]
definite = [r for r in records if "definitely lost in loss record" in r]
summary = re.search(r"ERROR SUMMARY: (\d+) errors", text)
print(f"memcheck: {len(definite)} definite-leak records in all; {len(at_import)} from _ravik's import "
      f"(interned method names); {len(ours)} leak or error records in _ravik; "
      f"{summary.group(0) if summary else 'no error summary'} (log: {sys.argv[1]})")
for record in ours:
    print(re.sub(r"(?m)^==\d+== ?", "", record), "\n")
sys.exit(1 if ours or not summary else 0)
EOF
exit "$status"
