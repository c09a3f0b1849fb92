#!/usr/bin/env bash
# The main job. With arguments, runs the converter with them. Without, masters a small
# PSP-like sample image, compresses it, decompresses it and checks the round trip.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup-deps.sh"
# The build's progress is kept out of the way; when it fails, its whole output is shown.
build_log=$(mktemp)
trap 'rm -f "$build_log"' EXIT
if ! "$root/scripts/build.sh" build-run -DVELLICOR_TESTS=OFF -DVELLICOR_FRONTEND=OFF \
        >"$build_log" 2>&1; then
    cat "$build_log" >&2
    echo "run.sh: the build failed" >&2
    exit 1
fi
rm -f "$build_log"
vellicor="$root/build-run/converter/vellicor"
if [ $# -gt 0 ]; then exec "$vellicor" "$@"; fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$root/scripts/make-sample-tree.sh" "$work/tree"
genisoimage -quiet -o "$work/sample.iso" "$work/tree"
echo "Sample image: $(stat -c %s "$work/sample.iso") bytes"
# Runs the converter, showing its final lines (progress lines end in \r and are dropped);
# when it fails, shows all it printed.
step() {
    local out status=0
    echo "\$ vellicor $*"
    out=$("$vellicor" "$@" 2>&1 | tr '\r' '\n') || status=$?
    if [ "$status" != 0 ]; then
        printf '%s\n' "$out" | sed 's/^/    /' >&2
        echo "Round trip FAILED: vellicor ended with status $status" >&2
        exit 1
    fi
    printf '%s\n' "$out" | grep -E 'completed|Time' | sed 's/^/    /' || true
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
