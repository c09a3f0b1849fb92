#!/usr/bin/env bash
# Makes docs/wendrovix.png: the dialog in a real X server (Xvfb) after a real compression
# of a small mastered image, with its Chinese texts. With --queue, docs/wendrovix-queue.png
# instead: after a queue of three small mastered images, each compressed and verified.
# With --failure, docs/wendrovix-failure.png: a file named .cso that is not a CSO, its
# failure explained.
#   scripts/screenshot-frontend.sh [--queue|--failure] [output.png]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
names=(示例游戏)
out=$root/docs/wendrovix.png
failure=
if [ "${1:-}" = --queue ]; then
    names=(示例游戏一 示例游戏二 示例游戏三)
    out=$root/docs/wendrovix-queue.png
    shift
elif [ "${1:-}" = --failure ]; then
    names=()
    failure=损坏的游戏.cso
    out=$root/docs/wendrovix-failure.png
    shift
fi
out=${1:-$out}
build=${WENDROVIX_BUILD:-$root/build-frontend}

"$root/scripts/setup-deps.sh"

"$root/scripts/build.sh" "$build" --target wendrovix_screenshot -DVELLICOR_FRONTEND=ON \
    -DVELLICOR_TESTS=OFF

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tmp"
images=()
if [ -n "$failure" ]; then
    head -c 4096 /dev/zero | tr '\0' 'x' >"$work/$failure"
    images=("$work/$failure")
else
    "$root/scripts/master-images.sh" "$work" "${names[@]}"
    for name in "${names[@]}"; do images+=("$work/$name.iso"); done
fi
TMPDIR=$work/tmp xvfb-run -a -s "-screen 0 640x480x24" \
    "$build/frontend/qt/wendrovix_screenshot" "${images[@]}" "$out"
echo "wrote $out"
