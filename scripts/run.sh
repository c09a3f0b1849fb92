#!/usr/bin/env bash
# The main job. With arguments, runs the converter with them. Without, masters a small
# PSP-like sample image, compresses it, decompresses it and checks the round trip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-deps.sh"
"$root/scripts/build.sh" build-run -DVELLICOR_TESTS=OFF -DVELLICOR_FRONTEND=OFF >/dev/null
vellicor="$root/build-run/converter/vellicor"
if [ $# -gt 0 ]; then exec "$vellicor" "$@"; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/scripts/make-sample-tree.sh" "$work/tree"
genisoimage -quiet -o "$work/sample.iso" "$work/tree"
echo "Sample image: $(stat -c %s "$work/sample.iso") bytes"
# Runs the converter, showing its final lines (progress lines end in \r and are dropped).
step() {
    echo "\$ vellicor $*"
    "$vellicor" "$@" | tr '\r' '\n' | grep -E 'completed|Time' | sed 's/^/    /'
}
step -com -l9 "$work/sample.iso" "$work/sample.cso"
step -dec "$work/sample.cso" "$work/back.iso"
step -dec -opt "$work/sample.cso" "$work/back-opt.iso"
if cmp -s "$work/sample.iso" "$work/back.iso" && cmp -s "$work/sample.iso" "$work/back-opt.iso"; then
    echo "Round trip exact: $(stat -c %s "$work/sample.iso") -> $(stat -c %s "$work/sample.cso") -> $(stat -c %s "$work/back.iso") bytes"
else
    echo "Round trip FAILED" >&2
    exit 1
fi
