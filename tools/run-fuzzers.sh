#!/usr/bin/env bash
# Runs every fuzz target in BUILD_DIR/fuzz for SECONDS each, from its seeds in fuzz/seeds/<name>.
# A crash, a sanitizer report or a leak fails the run; the offending input is kept beside the
# target (replay it with: BUILD_DIR/fuzz/fuzz_<name> <file>).
set -euo pipefail
build_dir=${1:?build directory}
seconds=${2:-30}
root=$(cd "$(dirname "$0")/.." && pwd)

shopt -s nullglob
targets=("$build_dir"/fuzz/fuzz_*)
if [ "${#targets[@]}" -eq 0 ]; then
    echo "no fuzz targets in $build_dir/fuzz" >&2
    exit 1
fi
empty="$build_dir/fuzz/empty-input"
: >"$empty"
for target in "${targets[@]}"; do
    [ -x "$target" ] && [ -f "$target" ] || continue
    name=$(basename "$target")
    corpus="$build_dir/fuzz/corpus-${name#fuzz_}"
    mkdir -p "$corpus"
    seeds=()
    [ -d "$root/fuzz/seeds/${name#fuzz_}" ] && seeds=("$root/fuzz/seeds/${name#fuzz_}")
    echo "--- $name: empty input, then ${seconds}s"
    "$target" "$empty" >/dev/null 2>&1
    log="$build_dir/fuzz/$name.log"
    if ! "$target" -max_total_time="$seconds" -artifact_prefix="$build_dir/fuzz/$name-" \
        -print_final_stats=1 "$corpus" "${seeds[@]}" >"$log" 2>&1; then
        tail -n 40 "$log"
        exit 1
    fi
    grep -E '^stat::number_of_executed_units|^Done' "$log" || tail -n 2 "$log"
done
