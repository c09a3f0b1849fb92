#!/usr/bin/env bash
# Masters an ISO image of real executables for the benchmarks, run by hand: copies this
# machine's shared libraries (regular files under 8 MB, in name order) into a scratch
# folder until they reach MB megabytes, and runs genisoimage over it. The folder is
# removed when the script ends.
#   bench/make_libs_iso.sh OUT.iso [MB]   (default 40)
set -euo pipefail
out=${1:?usage: bench/make_libs_iso.sh OUT.iso [MB]}
limit=$(( ${2:-40} * 1048576 ))
command -v genisoimage >/dev/null || { echo "genisoimage is needed (scripts/setup-deps.sh)"; exit 1; }

dir=$(mktemp -d /tmp/vellicor-libs-XXXXXX)
trap 'rm -rf "$dir"' EXIT
total=0
while IFS= read -r f; do
    size=$(stat -c %s "$f")
    (( total + size > limit )) && continue
    cp "$f" "$dir/"
    total=$((total + size))
done < <(find /usr/lib/x86_64-linux-gnu -maxdepth 1 -type f -name '*.so*' -size -8M | sort)
genisoimage -quiet -o "$out" "$dir"
echo "$out: $(( $(stat -c %s "$out") / 1048576 )) MB of $(ls "$dir" | wc -l) libraries"
