#!/usr/bin/env bash
# Speed of the Windows builds under Wine against this machine's build, side by side on the
# same image, run by hand (not a test): "-com -l9", "-com -opt -l9", "-com -opt -MT -l9"
# and "-dec", and "-com -opt -MT -best" on its first 4 MiB, best of $REPEAT runs each. The 64-bit build always runs (wine64); the 32-bit
# one too where this machine can run 32-bit processes. Wine needs a fixed time to start a
# program that a Windows machine does not; it is measured with "-help" and shown, and the
# ratios are given both with it and without it. Run it in a session of its own priority, e.g.
#   setsid bash -c 'echo -20 > /proc/self/autogroup; bench/bench_windows.sh'
#
# usage: bench/bench_windows.sh [linux-build-folder] [image-MB]
# (build both first: scripts/build.sh build; scripts/build-windows.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
mb=${2:-256}
repeat=${REPEAT:-3}
lin=$build/converter/vellicor
source "$root/scripts/wine-env.sh"
use_converter_prefix

# Runs one side's converter: "lin", or "w64"/"w32" (that Windows build under its Wine
# loader and in its prefix).
run_side() {
    local side=$1
    shift
    if [ "$side" = lin ]; then "$lin" "$@"; return; fi
    use_wine_arch "${side#w}" && "$wine_run" "$win_dist/vellicor.exe" "$@"
}

# Makes the prefix of a Windows side once and starts its server for the whole run, both
# outside the timings; returns success when the side runs the converter.
start_side() {
    use_wine_arch "${1#w}" 2>/dev/null && [ -f "$win_dist/vellicor.exe" ] || return 1
    started+=("$1")
    start_persistent_server
    run_side "$1" -help >/dev/null 2>&1
}

# Ends the Wine servers of the sides started, whether they ran or not, and their folders.
stop_sides() {
    local side
    for side in "${started[@]}"; do
        use_wine_arch "${side#w}" || continue
        "$wineserver_bin" -k 2>/dev/null || true
        remove_wine_server_dir
    done
}

sides=(lin)
started=()
dir=
trap '[ -z "$dir" ] || rm -rf "$dir"; stop_sides' EXIT
[ -x "$lin" ] && start_side w64 || { echo "build both first (and install wine64)"; exit 1; }
sides+=(w64)
if start_side w32; then sides+=(w32); fi

dir=$(mktemp -d /tmp/vellicor-bench-windows-XXXXXX)

# A mixed image: runs of text-like records, noise (as in video) and zeros.
{ seq 1 4000000 | awk '{ printf "entry %d flags %x name_%d size %d\n", ($1 * 7919) % 100003,
    $1 % 17, ($1 * 31) % 977, ($1 * 131) % 65536 }' | head -c $((32 * 1048576)) > "$dir/text"; } || true
head -c $((32 * 1048576)) /dev/urandom > "$dir/noise"
head -c $((32 * 1048576)) /dev/zero > "$dir/zero"
for ((i = 0; i < mb / 32; i++)); do
    case $((i % 4)) in 0|2) cat "$dir/text" ;; 1) cat "$dir/noise" ;; 3) cat "$dir/zero" ;; esac
done > "$dir/image.iso"
rm -f "$dir/text" "$dir/noise" "$dir/zero"
bytes=$(stat -c %s "$dir/image.iso")

# Prints the wall time in seconds of one run of the command.
time_of() {
    local t0 t1
    t0=$(date +%s.%N)
    "$@" > /dev/null || { echo "failed: $*" >&2; exit 1; }
    t1=$(date +%s.%N)
    echo "$t1 - $t0" | bc -l
}

# Prints the smaller of two times (the first when the second is empty).
min_of() {
    if [ -z "$2" ] || (( $(echo "$1 < $2" | bc -l) )); then echo "$1"; else echo "$2"; fi
}

# Prints the best wall time in seconds of `repeat` runs of the command.
best_of() {
    local best=""
    for ((r = 0; r < repeat; r++)); do best=$(min_of "$(time_of "$@")" "$best"); done
    echo "$best"
}

img=$dir/image.iso
cat "$img" > /dev/null
"$lin" -com "$img" "$dir/ref.cso" > /dev/null
declare -A t t_start args
for side in "${sides[@]:1}"; do
    t_start[$side]=$(best_of run_side "$side" -help)
done
# The builds take turns run by run, so a change of load strikes them alike.
args[com]="-com -l9 $img @.cso"
args[opt]="-com -opt -l9 $img @-opt.cso"
args[mt]="-com -opt -MT -l9 $img @-mt.cso"
args[dec]="-dec $dir/ref.cso @.iso"
# -best runs at about 1 MB/s: a slice of text, where its encoder takes and frees the most.
slice_bytes=$((4 * 1048576))
head -c "$slice_bytes" "$img" > "$dir/slice.iso"
args[best]="-com -opt -MT -best $dir/slice.iso @-best.cso"
for ((r = 0; r < repeat; r++)); do
    for e in com opt mt dec best; do
        for side in "${sides[@]}"; do
            read -r -a a <<< "${args[$e]//@/$dir/$side}"
            rm -f "${a[-1]}"  # every run writes a new file
            t[$side-$e]=$(min_of "$(time_of run_side "$side" "${a[@]}")" "${t[$side-$e]:-}")
        done
    done
done
for side in "${sides[@]:1}"; do
    for f in .cso -opt.cso -mt.cso .iso -best.cso; do
        cmp -s "$dir/lin$f" "$dir/$side$f" || { echo "$side wrote a different file ($f)"; exit 1; }
    done
done

# Prints MB/s for a time in seconds (of the image, or of the bytes given second).
rate() { echo "scale=1; ${2:-$bytes} / 1000000 / $1" | bc -l; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }
declare -A name=([w64]="64-bit build (dist-x64) under wine64" [w32]="32-bit build (dist) under wine")
echo "image: $(echo "scale=1; $bytes / 1000000" | bc) MB mixed; best of $repeat;" \
     "load now: $(cut -d' ' -f1-3 /proc/loadavg)"
for side in "${sides[@]:1}"; do
    echo "${name[$side]}: Wine start-up ${t_start[$side]}s; ratios are Linux time / Windows time" \
         "(target 0.90 for com, mt, dec)"
    printf '%-22s %9s %9s %9s %12s\n' "" "Linux" "Windows" "ratio" "ratio-start"
    for e in com opt mt dec best; do
        w=${t[$side-$e]} l=${t[lin-$e]} n=$bytes
        [ "$e" = best ] && n=$slice_bytes
        printf '%-22s %9s %9s %9s %12s\n' "$e (MB/s)" "$(rate "$l" "$n")" "$(rate "$w" "$n")" \
            "$(ratio "$l" "$w")" "$(ratio "$l" "$(echo "$w - ${t_start[$side]}" | bc -l)")"
    done
    echo "-MT over -opt: $(ratio "${t[$side-opt]}" "${t[$side-mt]}")x" \
         "(without start-up $(ratio "$(echo "${t[$side-opt]} - ${t_start[$side]}" | bc -l)" \
         "$(echo "${t[$side-mt]} - ${t_start[$side]}" | bc -l)")x; target 1.8)"
done
[ "${#sides[@]}" -gt 2 ] || echo "32-bit build: not run (this machine cannot run 32-bit processes)"
