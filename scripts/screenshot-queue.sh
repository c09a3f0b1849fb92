#!/usr/bin/env bash
# Makes docs/wendrovix-queue.png: the dialog in a real X server (Xvfb) after a queue of
# three small mastered images, each compressed and verified, with its Chinese texts.
#   scripts/screenshot-queue.sh [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=${1:-$root/docs/wendrovix-queue.png}
build=${WENDROVIX_BUILD:-$root/build-frontend}

"$root/scripts/setup-deps.sh"

cmake -S "$root" -B "$build" -DVELLICOR_FRONTEND=ON -DVELLICOR_TESTS=OFF >/dev/null
cmake --build "$build" --target wendrovix_screenshot -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp"
images=()
for name in 示例游戏一 示例游戏二 示例游戏三; do
    mkdir -p "$work/$name/PSP_GAME"
    seq 1 $((20000 + ${#images[@]} * 15000)) | sed "s/^/$name line /" > "$work/$name/PSP_GAME/readme.txt"
    head -c $((200000 + ${#images[@]} * 100000)) /dev/urandom > "$work/$name/PSP_GAME/data.bin"
    genisoimage -quiet -o "$work/$name.iso" "$work/$name"
    images+=("$work/$name.iso")
done
TMPDIR=$work/tmp xvfb-run -a -s "-screen 0 640x480x24" \
    "$build/frontend/wendrovix_screenshot" "${images[@]}" "$out"
echo "wrote $out"
