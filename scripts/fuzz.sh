#!/usr/bin/env bash
# libFuzzer runs over the Python-free core (clang 16 from Debian's packages).
#   bash scripts/fuzz.sh [target] [seconds]   fuzz one target (flat_json, checkpoint, windows, columnar, sliced) or all
#                                             of them one after the other; default: all, 60 s each
#   bash scripts/fuzz.sh minimize [target]    merge what the runs found into a fresh, minimal
#                                             fuzz/corpus/<target> (the corpus the test suite replays);
#                                             fuzz/corpus/<target>/regressions/ (inputs that once
#                                             failed) is kept as it is
# Needs clang++-16 and its runtime; installed when missing:
#   apt-get install clang-16 libclang-rt-16-dev
# New inputs go to build/fuzz/corpus/<target> (fuzz/corpus/<target> is only read), findings to
# build/fuzz/artifacts/<target>/. Extra libFuzzer flags: RAVIK_FUZZ_FLAGS="-max_len=8192".
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
targets=(flat_json checkpoint windows columnar sliced)

mode=fuzz
if [ "${1:-}" = minimize ]; then
    mode=minimize
    shift
fi
target="${1:-all}"
seconds="${2:-60}"
case "$target" in
    all) selected=("${targets[@]}") ;;
    flat_json|checkpoint|windows|columnar|sliced) selected=("$target") ;;
    *) echo "usage: $0 [minimize] [flat_json|checkpoint|windows|columnar|sliced|all] [seconds]" >&2; exit 2 ;;
esac

if ! command -v clang++-16 >/dev/null || [ ! -d /usr/lib/llvm-16/lib/clang/16/lib/linux ]; then
    echo "installing clang-16 and libclang-rt-16-dev" >&2
    sudo_cmd=""
    [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
    $sudo_cmd apt-get update -qq
    $sudo_cmd apt-get install -y -qq clang-16 libclang-rt-16-dev >/dev/null
fi
cmake_bin="$(command -v cmake || true)"
[ -n "$cmake_bin" ] || cmake_bin="$root/.venv/bin/cmake"
[ -x "$cmake_bin" ] || { echo "cmake not found (run scripts/test.sh once, or install cmake)" >&2; exit 1; }

build="$root/build/fuzz"
"$cmake_bin" -S fuzz -B "$build" -DRAVIK_FUZZ_ENGINE=libfuzzer -DCMAKE_CXX_COMPILER=clang++-16 >/dev/null
"$cmake_bin" --build "$build" -j "$(nproc)" >/dev/null

# The parser's seeds: the shared hostile JSON documents, found beside the project
# (or beside the directory holding its worktrees).
json_seeds=""
for dir in "$root/../shared/corpora/json-parsing" "$root/../../shared/corpora/json-parsing"; do
    if [ -d "$dir" ]; then json_seeds="$(cd "$dir" && pwd)"; break; fi
done

for name in "${selected[@]}"; do
    work="$build/corpus/$name"
    mkdir -p "$work" "$build/artifacts/$name"
    seeds=("fuzz/corpus/$name")
    [ "$name" = flat_json ] && [ -n "$json_seeds" ] && seeds+=("$json_seeds")
    if [ "$mode" = minimize ]; then
        fresh="$build/minimized/$name"
        rm -rf "$fresh"
        mkdir -p "$fresh"
        # The set-cover merge keeps every feature with far fewer files than -merge=1.
        "$build/fuzz_$name" -set_cover_merge=1 ${RAVIK_FUZZ_FLAGS:-} "$fresh" "fuzz/corpus/$name" "$work" 2>&1 |
            grep '^MERGE-OUTER: [0-9]* new'
        # Inputs that once failed stay, whatever coverage they add.
        if [ -d "fuzz/corpus/$name/regressions" ]; then cp -r "fuzz/corpus/$name/regressions" "$fresh/"; fi
        rm -rf "fuzz/corpus/$name"
        cp -r "$fresh" "fuzz/corpus/$name"
        echo "fuzz/corpus/$name: $(find "fuzz/corpus/$name" -type f | wc -l) inputs"
    else
        echo "fuzzing $name for $seconds s" >&2
        "$build/fuzz_$name" -max_total_time="$seconds" -print_final_stats=1 \
            -artifact_prefix="$build/artifacts/$name/" ${RAVIK_FUZZ_FLAGS:-} "$work" "${seeds[@]}"
    fi
done
