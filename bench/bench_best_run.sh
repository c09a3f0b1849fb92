#!/usr/bin/env bash
# -best through the converter, run by hand (not a test): the speed of
# "-com -opt -MT1 -best", "-MT2 -best" and "-MT0 -best" on an image (real executables:
# bench/make_libs_iso.sh makes one) with the speed-up from one worker to two, then the
# peak memory of "-MT64" with -best and -better against "-MT64" and "-MT0" at level 9, on
# the image's first 8 MB. Each time is the best of $REPEAT runs (default 1: -best is slow).
# Run it in a session of its own priority, e.g.
#   setsid bash -c 'echo -20 > /proc/self/autogroup; bench/bench_best_run.sh /tmp/libs.iso'
#
# usage: bench/bench_best_run.sh IMAGE [build-folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
image=${1:?usage: bench/bench_best_run.sh IMAGE [build-folder]}
exe=${2:-$root/build}/converter/vellicor
repeat=${REPEAT:-1}
[ -x "$exe" ] || { echo "no converter at $exe (build first)"; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) measures the peak memory"; exit 1; }
dir=$(mktemp -d /tmp/vellicor-bench-best-XXXXXX)
trap 'rm -rf "$dir"' EXIT

# Prints the best wall time in seconds of `repeat` runs of "-com ARGS image" and, after
# it, the peak memory in KiB of the run that took it. Every run writes a new file.
best_of() {
    local src=$1 best="" peak="" t0 t1 t
    shift
    for ((r = 0; r < repeat; r++)); do
        rm -f "$dir/out.cso"
        t0=$(date +%s.%N)
        /usr/bin/time -f %M -o "$dir/peak" "$exe" -com "$@" "$src" "$dir/out.cso" > /dev/null
        t1=$(date +%s.%N)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || (( $(echo "$t < $best" | bc -l) )); then best=$t peak=$(cat "$dir/peak"); fi
    done
    echo "$best $peak"
}

mb=$(echo "$(stat -c %s "$image") / 1000000" | bc -l)
printf 'image: %s, %.1f MB\n' "$image" "$mb"
declare -A secs
for mt in 1 2 0; do
    read -r t _ < <(best_of "$image" -opt -MT$mt -best)
    secs[$mt]=$t
    printf '%-34s %6.2f MB/s\n' "vellicor -com -opt -MT$mt -best" "$(echo "$mb / $t" | bc -l)"
done
printf 'speed-up -MT2 over -MT1:          %5.2fx (target 1.9)\n' "$(echo "${secs[1]} / ${secs[2]}" | bc -l)"

head -c 8388608 "$image" > "$dir/cut.iso"
echo "peak memory on the first 8 MB:"
declare -A peak
for run in "-MT0 -l9" "-MT64 -l9" "-MT64 -better" "-MT64 -best"; do
    # shellcheck disable=SC2086
    read -r _ p < <(best_of "$dir/cut.iso" -opt $run)
    peak[$run]=$p
    printf '%-34s %8d KiB\n' "vellicor -com -opt $run" "$p"
done
for run in "-MT64 -better" "-MT64 -best"; do
    printf '%s beyond -MT64 -l9: %d KiB, beyond -MT0 -l9: %d KiB (target under 65536)\n' "$run" \
        $((peak[$run] - peak["-MT64 -l9"])) $((peak[$run] - peak["-MT0 -l9"]))
done
