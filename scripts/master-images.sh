#!/usr/bin/env bash
# Masters one small ISO image per name into a folder with genisoimage: a text file and
# some random bytes, more for each further name. For screenshots and dialog tests.
#   scripts/master-images.sh FOLDER NAME...    (writes FOLDER/NAME.iso)
set -euo pipefail
dir=$1
shift
i=0
for name in "$@"; do
    mkdir -p "$dir/tree-$i/PSP_GAME"
    seq 1 $((20000 + i * 15000)) | sed "s/^/$name line /" >"$dir/tree-$i/PSP_GAME/readme.txt"
    head -c $((200000 + i * 100000)) /dev/urandom >"$dir/tree-$i/PSP_GAME/data.bin"
    genisoimage -quiet -o "$dir/$name.iso" "$dir/tree-$i"
    rm -rf "$dir/tree-$i"
    i=$((i + 1))
done
