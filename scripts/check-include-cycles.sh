#!/usr/bin/env bash
# Fails when two of the converter's modules include each other, directly or round a
# circle. A module is a header and its source files (platform.h with platform_*.cpp);
# every module and the project headers its files include go to tsort, which reports any
# loop.
#   scripts/check-include-cycles.sh [converter folder]
set -euo pipefail
dir=${1:-$(cd "$(dirname "$0")/.." && pwd)/converter}
module_of() {
    local name=${1##*/}
    name=${name%.*}
    echo "${name%%_posix}" | sed 's/_win32$//'
}
pairs=$(for f in "$dir"/*.h "$dir"/*.cpp; do
    [ -e "$f" ] || continue
    from=$(module_of "$f")
    echo "$from $from"  # a module that includes nothing still counts
    sed -n 's/^#include "\([^"]*\.h\)".*/\1/p' "$f" | while read -r inc; do
        to=$(module_of "$inc")
        [ "$to" = "$from" ] || echo "$from $to"
    done
done)
if ! sorted=$(tsort <<<"$pairs" 2>&1 >/dev/null) || [ -n "$sorted" ]; then
    echo "include circle among the modules of $dir:" >&2
    echo "$sorted" >&2
    exit 1
fi
echo "no include circle among $(ls "$dir"/*.h | wc -l) modules"
