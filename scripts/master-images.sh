#!/usr/bin/env bash
# Masters one small ISO image per name into a folder with genisoimage, each from a
# sample tree (scripts/make-sample-tree.sh) larger than the one before (about 0.6 MB,
# then 0.3 MB more for each further name). For screenshots and tests.
#   scripts/master-images.sh FOLDER NAME...    (writes FOLDER/NAME.iso)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$1
shift
i=0
for name in "$@"; do
    "$root/scripts/make-sample-tree.sh" "$dir/tree-$i" $((200 + 100 * i))
    genisoimage -quiet -o "$dir/$name.iso" "$dir/tree-$i"
    rm -rf "$dir/tree-$i"
    i=$((i + 1))
done
