#!/usr/bin/env bash
# Runs every fuzz target in BUILD_DIR/fuzz for SECONDS each, starting from its seed corpus.
# A crash, a sanitizer report or a leak fails the run; the offending input is kept in build/.
set -euo pipefail
build_dir=${1:?build directory}
seconds=${2:-30}
root=$(cd "$(dirname "$0")/.." && pwd)

shopt -s nullglob
targets=("$build_dir"/fuzz/fuzz_*)
for target in "${targets[@]}"; do
    [ -x "$target" ] || continue
    name=$(basename "$target")
    corpus="$build_dir/fuzz/corpus-$name"
    mkdir -p "$corpus"
    seeds=()
    [ -d "$root/fuzz/seeds/${name#fuzz_}" ] && seeds=("$root/fuzz/seeds/${name#fuzz_}")
    echo "--- $name for ${seconds}s"
    # An empty input first, then the time-bounded run.
    : >"$build_dir/fuzz/empty-input"
    "$target" "$build_dir/fuzz/empty-input" >/dev/null 2>&1
    "$target" -max_total_time="$seconds" -artifact_prefix="$build_dir/fuzz/$name-" \
        -print_final_stats=1 "$corpus" "${seeds[@]}" 2>&1 | tail -n 3
    [ "${PIPESTATUS[0]}" -eq 0 ]
done
