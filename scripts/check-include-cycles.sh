#!/usr/bin/env bash
# Fails when the converter's headers include each other in a circle: every header and the
# project headers it includes go to tsort, which reports any loop.
#   scripts/check-include-cycles.sh [converter folder]
set -euo pipefail
dir=${1:-$(cd "$(dirname "$0")/.." && pwd)/converter}
pairs=$(for h in "$dir"/*.h; do
    name=$(basename "$h")
    echo "$name $name"  # a header that includes nothing still counts
    sed -n 's/^#include "\([^"]*\.h\)".*/\1/p' "$h" | while read -r inc; do echo "$name $inc"; done
done)
if ! sorted=$(tsort <<<"$pairs" 2>&1 >/dev/null) || [ -n "$sorted" ]; then
    echo "include circle among $dir/*.h:" >&2
    echo "$sorted" >&2
    exit 1
fi
echo "no include circle among $(ls "$dir"/*.h | wc -l) headers"
