#!/usr/bin/env bash
# Builds the fuzz targets' seed corpus from real images, the CSO files the converter
# writes from them and files of the other formats it reads:
# fuzz-build/corpus/{decompress,compress,isoscan,parser,examine,verify}/.
#   scripts/fuzz-seeds.sh [converter executable] [output folder]
# Needs genisoimage and xorriso; builds the converter with g++ into fuzz-build/gcc when no
# executable is given.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
exe=${1:-}
out=${2:-$root/fuzz-build/corpus}
if [ -z "$exe" ]; then
    VELLICOR_JOBS=2 "$root/scripts/build.sh" "$root/fuzz-build/gcc" --target vellicor \
        -DVELLICOR_FRONTEND=OFF -DVELLICOR_TESTS=OFF >/dev/null
    exe=$root/fuzz-build/gcc/converter/vellicor
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"/{decompress,compress,isoscan,parser,examine,verify}

# Writes one seed per file and prefix, the prefix's bytes (printf escapes) before the
# file's, as <name>-0, <name>-1, ... in the files' order, each file's prefixes in turn.
#   prefixed_seeds <name> <array of prefixes> <file>...
prefixed_seeds() {
    local name=$1 n=0 f p
    local -n prefixes=$2
    shift 2
    for f in "$@"; do
        for p in "${prefixes[@]}"; do
            # shellcheck disable=SC2059  # the prefix is printf escapes
            { printf "$p"; cat "$f"; } > "$name-$n"
            n=$((n + 1))
        done
    done
}

# A tiny game-like tree: a video (PSMF), an audio file (RIFF), update files, text, an
# empty file; small enough for the fuzz targets' longest inputs.
tree=$work/tree
"$root/scripts/make-sample-tree.sh" "$tree" 5

# Images: both mastering tools, plain and with Rock Ridge/Joliet extensions, no padding.
genisoimage -quiet -no-pad -o "$work/g1.iso" "$tree"
genisoimage -quiet -no-pad -R -J -o "$work/g2.iso" "$tree"
xorriso -as mkisofs -quiet -no-pad -o "$work/x1.iso" "$tree" 2>/dev/null
xorriso -as mkisofs -quiet -no-pad -R -o "$work/x2.iso" "$tree" 2>/dev/null
head -c 5000 /dev/urandom > "$work/odd.iso"  # not a whole number of blocks

# ISO walk: the images as they are.
for iso in "$work"/*.iso; do cp "$iso" "$out/isoscan/$(basename "$iso")"; done

# Compressors: four option bytes (engine and area flags, levels, threshold, extension
# list, log, and bit 5 of the last: the image repeated to 645 blocks) before the image.
# shellcheck disable=SC2034  # read by prefixed_seeds
opts=('\x00\x08\x63\x00' '\x01\x35\x18\x01' '\x19\x00\x00\x12' '\xf9\x48\x32\x1b'
      '\x61\x88\x50\x02' '\x02\x17\x62\x05' '\x03\x29\x10\x13' '\x04\x03\x45\x16'
      '\x1a\x35\x18\x22' '\x04\x08\x63\x20')
prefixed_seeds "$out/compress/seed" opts "$work/g1.iso" "$work/x2.iso" "$work/odd.iso"

# Decompressors: what every compressor writes from the images.
n=0
for iso in "$work/g1.iso" "$work/g2.iso" "$work/x1.iso" "$work/odd.iso"; do
    for args in "-com -l9" "-com -l1" "-com -opt -t50" "-com -opt -vid -aud -rm_update" \
                "-com -opt -rm_vid -ext.bin" "-com -MT -opt"; do
        # shellcheck disable=SC2086
        "$exe" $args "$iso" "$work/s.cso" >/dev/null 2>&1 || continue
        cp "$work/s.cso" "$out/decompress/seed-$n"
        n=$((n + 1))
    done
done

# The other tools' formats (CSO v2, ZSO, DAX, and JISO to be refused), as the tests' writers
# made them for the kept inputs.
formats=$root/tests/data/fuzz-regressions/decompress
cp "$formats"/cso2-* "$formats"/zso-* "$formats"/dax-* "$formats"/jiso "$out/decompress/"

# Compressors given a compressed file (read through the block reader): the other tools'
# formats and two of ours, for the optimised and the threaded engine.
# shellcheck disable=SC2034  # read by prefixed_seeds
engines=('\x01\x35\x18\x01' '\x02\x17\x62\x05')
prefixed_seeds "$out/compress/from-compressed" engines "$formats"/cso2-* "$formats"/zso-* \
    "$formats"/dax-* "$out/decompress/seed-0" "$out/decompress/seed-5"

# -test and -info: the same files, and the damaged-file corpus of the tests.
cp "$out"/decompress/* "$out/examine/"
cp "$root"/tests/data/cso/*.cso "$out/examine/"

# Verification: four bytes choosing the image it is given (as decoded, one byte changed,
# a tail added, cut short, loosely decoded) before each of those files.
# shellcheck disable=SC2034  # read by prefixed_seeds
choices=('\x00\x00\x00\x00' '\x01\x35\x02\x00' '\x02\x41\x10\x00' '\x03\x07\x00\x00' '\x04\x00\x00\x00')
prefixed_seeds "$out/verify/seed" choices "$out"/decompress/* "$root"/tests/data/cso/*.cso

# Whole converter: argument vectors, zero between arguments, naming the fixture files
# the target keeps in its folder (a.iso, a.cso, t.txt).
n=0
while IFS= read -r line; do
    printf '%s' "$line" | tr ' ' '\0' > "$out/parser/seed-$n"
    n=$((n + 1))
done <<'ARGS'
-com -l9 a.iso o.cso
-com -opt -l1 a.iso o.cso
-com -opt -MT -l9 -t25 -vid -aud -ext.xpac.res a.iso o.cso
-com -opt -rm_vid -rm_aud a.iso o.cso
-com -rm_update -l9 a.iso o.cso
-com -t0 -ext.BIN;1 -rm_ext -logscan.txt a.iso o.cso
-dec a.cso o.iso
-dec -opt a.cso o.iso
-dec -opt -MT a.cso o.iso
-dec -MT a.cso o.iso
-est -opt -MT -l9 -q1 a.iso
-est -q9 -vid a.iso
9 a.iso o.cso
0 a.cso o.iso
x a b
a.iso o.cso
-help
-fullhelp
-help missing.iso
-l0 -q -t100 -t-1 -ext -extprx.bin
-com a.iso
-opt a.iso o.cso
-dec t.txt o.iso
-com t.txt o.cso
-com a.iso a.iso
-test a.cso
-test a.cso a.iso
-test a.iso t.txt
-info a.cso
-info a.iso
-test -opt a.cso o.iso
ARGS
echo "seeds in $out:" "$(for t in decompress compress isoscan parser examine verify; do
    printf ' %s %s' "$(ls "$out/$t" | wc -l)" "$t"; done)"
