#!/usr/bin/env bash
# Fails when a file under src/<module>/ includes the header of a module it does not link: every
# module gets src/ on its include path, so without this check a lower module could include an
# upper one's header (or a sibling's) and only a later link error, or none, would tell.
# A module may include its own headers and those of the modules its CMakeLists.txt lists in DEPS,
# directly or through them. `--self-check` plants an upward include in a scratch tree and
# expects this script to refuse it.
set -euo pipefail

check_tree() {
    local root=$1
    local -A deps=() closure=()
    local modules module dep
    # The order CMake adds the modules in (top-level CMakeLists.txt).
    modules=$(sed -n '/^set(KINETRA_MODULES/,/)/p' "$root/CMakeLists.txt" |
        tr -d '()' | sed 's/set//; s/KINETRA_MODULES//' | tr -s ' \n' ' ')
    for module in $modules; do
        local file="$root/src/$module/CMakeLists.txt"
        [ -f "$file" ] || continue
        deps[$module]=$(grep -o 'kinetra_[a-z_]*' "$file" | sed 's/^kinetra_//' |
            grep -vx -e module -e "$module" | tr '\n' ' ' || true)
    done
    # Modules come after everything they use, so one pass in order builds each closure.
    for module in $modules; do
        local all=" "
        for dep in ${deps[$module]:-}; do
            all+="$dep ${closure[$dep]:-} "
        done
        closure[$module]=$all
    done

    local failures=0 line included
    for module in $modules; do
        [ -d "$root/src/$module" ] || continue
        while IFS= read -r line; do
            included=${line#*#include \"}
            included=${included%%/*}
            [ "$included" = "$module" ] && continue
            [ -d "$root/src/$included" ] || continue  # not one of ours (a test support header)
            if [[ " ${closure[$module]} " != *" $included "* ]]; then
                echo "include climbs the module order: ${line%%:#include*} ($module) includes" \
                    "a header of $included, which $module does not link" >&2
                failures=$((failures + 1))
            fi
        done < <(cd "$root" && grep -rHo '^#include "[a-z_]*/[^"]*"' "src/$module" || true)
    done
    return $((failures > 0))
}

self_check() {
    local scratch
    scratch=$(mktemp -d)
    trap 'rm -rf "$scratch"' RETURN
    mkdir -p "$scratch/src/low" "$scratch/src/high"
    printf 'set(KINETRA_MODULES\n    low high)\n' >"$scratch/CMakeLists.txt"
    printf 'kinetra_module(low SOURCES a.cpp DEPS )\n' >"$scratch/src/low/CMakeLists.txt"
    printf 'kinetra_module(high SOURCES b.cpp DEPS kinetra_low)\n' >"$scratch/src/high/CMakeLists.txt"
    printf '#include "low/a.hpp"\n' >"$scratch/src/high/b.cpp"
    printf '#include "low/a.hpp"\n' >"$scratch/src/low/a.cpp"
    if ! check_tree "$scratch" 2>/dev/null; then
        echo "self-check: a downward include was refused" >&2
        return 1
    fi
    printf '#include "high/b.hpp"\n' >>"$scratch/src/low/a.cpp"
    if check_tree "$scratch" 2>/dev/null; then
        echo "self-check: a planted upward include passed" >&2
        return 1
    fi
    echo "include check: self-check passed (an upward include is refused)"
}

cd "$(dirname "$0")/.."
if [ "${1:-}" = "--self-check" ]; then
    self_check
    exit
fi
self_check
check_tree .
echo "include check: every include stays within its module's dependencies"
