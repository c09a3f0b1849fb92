#!/usr/bin/env bash
# Makes docs/wendrovix.png: the dialog in a real X server (Xvfb) after a real compression
# of a small mastered image, with its Chinese texts.
#   scripts/screenshot-frontend.sh [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/wendrovix.png}
build=${WENDROVIX_BUILD:-$root/build-frontend}

"$root/scripts/setup-deps.sh"

cmake -S "$root" -B "$build" -DVELLICOR_FRONTEND=ON -DVELLICOR_TESTS=OFF >/dev/null
cmake --build "$build" --target wendrovix_screenshot -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/PSP_GAME" "$work/tmp"
seq 1 40000 | sed 's/^/sample line /' > "$work/tree/PSP_GAME/readme.txt"
head -c 300000 /dev/urandom > "$work/tree/PSP_GAME/data.bin"
genisoimage -quiet -o "$work/示例游戏.iso" "$work/tree"
TMPDIR=$work/tmp xvfb-run -a -s "-screen 0 640x480x24" \
    "$build/frontend/wendrovix_screenshot" "$work/示例游戏.iso" "$out"
echo "wrote $out"
