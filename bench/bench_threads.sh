#!/usr/bin/env bash
# Speed of the threaded engines against the one-thread ones, run by hand (not a test).
#
# Makes a mixed image of runs of text-like data, noise (as in video and audio) and zero
# runs, and the core benchmark's mixed image (as bench_core.cpp makes it), then times
# "-com", "-com -opt", "-com -MT", "-dec", "-dec -opt", "-est" and "-est -MT" through the
# built converter, and a plain in-memory deflate loop (level 9, one reused raw stream per
# thread) over the same blocks on one and on two threads. Prints MB/s for each and the
# speed-ups of the threaded engines; on the core benchmark's image, the compressors and
# the loop only. Then the worker counts: "-com -MT", "-MT1", "-MT2", "-MT4" and "-MT0"
# with their MB/s and peak memory (and "-MT64"'s peak), the ratios they must reach, and
# the threaded compressor's serial share (bench_serial: the main thread's CPU time against
# the workers') with the speed-up it allows on 4, 8 and 16 cores. Each run is taken at its
# best of $REPEAT tries; a busy machine still
# disturbs the figures (check `uptime`), and so does another session's load: run it in a
# session of its own priority, e.g.
#   setsid bash -c 'echo -20 > /proc/self/autogroup; bench/bench_threads.sh build'
#
# usage: bench/bench_threads.sh [build-folder] [image-MB]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
mb=${2:-128}
repeat=${REPEAT:-3}
exe=$build/converter/vellicor serial=$build/bench/bench_serial
[ -x "$exe" ] || { echo "no converter at $exe (build first)"; exit 1; }
[ -x "$serial" ] || { echo "no $serial (build the bench_serial target)"; exit 1; }
[ -x /usr/bin/time ] || { echo "GNU time (/usr/bin/time) measures the peak memory"; exit 1; }
(( mb >= 100 )) || { echo "the image must be at least 100 MB"; exit 1; }

dir=$(mktemp -d /tmp/vellicor-bench-threads-XXXXXX)
trap 'rm -rf "$dir"' EXIT

# Text-like pool: numbered records with varying fields (deflates to about a third).
# head ends the generator early on purpose, so this pipe's status is not looked at.
{ seq 1 3000000 | awk '{ printf "entry %d flags %x name_%d size %d tag%c\n",
    ($1 * 7919) % 100003, $1 % 17, ($1 * 31) % 977, ($1 * 131) % 65536,
    65 + ($1 * 7) % 26 }' | head -c $((64 * 1048576)) > "$dir/text.pool"; } || true
head -c $((64 * 1048576)) /dev/urandom > "$dir/noise.pool"
pool_blocks=$((64 * 512))

# Appends `count` blocks of `kind` (text, noise or zero) taken from the pools.
append_run() {
    local kind=$1 count=$2
    local skip=$(( (RANDOM * 32768 + RANDOM) % (pool_blocks - count) ))
    case $kind in
        zero) head -c $((count * 2048)) /dev/zero ;;
        *) dd if="$dir/$kind.pool" bs=2048 skip="$skip" count="$count" status=none ;;
    esac >> "$dir/image.iso"
}

# Runs of 16 to 1039 blocks in a fixed cycle of kinds, like files of a game image.
RANDOM=4242
kinds=(text text noise text zero noise text noise zero text)
total=$((mb * 512)) done_blocks=0 i=0
: > "$dir/image.iso"
while (( done_blocks < total )); do
    n=$(( 16 + RANDOM % 1024 ))
    (( n > total - done_blocks )) && n=$((total - done_blocks))
    append_run "${kinds[i % ${#kinds[@]}]}" "$n"
    done_blocks=$((done_blocks + n)) i=$((i + 1))
done
rm -f "$dir/text.pool" "$dir/noise.pool"
bytes=$(stat -c %s "$dir/image.iso")

# The one-thread in-memory deflate loop the engines are measured against ("loop FILE"
# prints its seconds), and the core benchmark's mixed image made the same way as
# bench_core makes it ("loop -core FILE MB").
cat > "$dir/loop.c" <<'EOF'
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>
static void fill_block(unsigned char* p, int kind, uint64_t* x, uint32_t n) {
    if (kind == 2) { memset(p, 0, 2048); return; }
    for (size_t i = 0; i < 2048; i++) {
        *x ^= *x << 13; *x ^= *x >> 7; *x ^= *x << 17;
        if (kind == 1) p[i] = (unsigned char)(*x >> 32);
        else if (kind == 3 && i >= 1024) p[i] = 0;
        else p[i] = "etaoin shrdlu cmfwyp vbgkqjxz\n,.0123456789"[(*x >> 40) % (n % 7 + 36)];
    }
}
static int make_core_image(const char* name, size_t mb) {
    static const int kinds[] = {0, 0, 1, 0, 2, 1, 3, 0, 1, 2};
    uint64_t x = 88172645463325252ull;
    unsigned char blk[2048];
    FILE* f = fopen(name, "wb");
    for (size_t b = 0; b < mb * 512; b++) {
        fill_block(blk, kinds[(b / 97) % 10], &x, (uint32_t)(b / 97));
        fwrite(blk, 1, 2048, f);
    }
    return fclose(f) != 0;
}
struct part { unsigned char* from; long blocks; };
static void* deflate_part(void* arg) {
    struct part* p = arg;
    unsigned char out[4096];
    z_stream z = {0};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    for (long b = 0; b < p->blocks; b++) {
        deflateReset(&z);
        z.next_in = p->from + b * 2048; z.avail_in = 2048;
        z.next_out = out; z.avail_out = sizeof out;
        deflate(&z, Z_FINISH);
    }
    deflateEnd(&z);
    return NULL;
}
int main(int argc, char** argv) {
    if (argc == 4) return make_core_image(argv[2], strtoul(argv[3], NULL, 10));
    int threads = argc > 2 ? atoi(argv[2]) : 1;
    FILE* f = fopen(argv[1], "rb");
    fseek(f, 0, SEEK_END);
    long size = ftell(f);
    fseek(f, 0, SEEK_SET);
    unsigned char* img = malloc(size);
    if (fread(img, 1, size, f) != (size_t)size) return 1;
    long blocks = size / 2048, each = (blocks + threads - 1) / threads;
    struct part parts[16];
    pthread_t ids[16];
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (int t = 0; t < threads; t++) {  /* equal shares of the image, one stream each */
        long first = t * each;
        parts[t].from = img + first * 2048;
        parts[t].blocks = first + each <= blocks ? each : blocks - first;
        pthread_create(&ids[t], NULL, deflate_part, &parts[t]);
    }
    for (int t = 0; t < threads; t++) pthread_join(ids[t], NULL);
    clock_gettime(CLOCK_MONOTONIC, &t1);
    printf("%.6f\n", (t1.tv_sec - t0.tv_sec) + (t1.tv_nsec - t0.tv_nsec) / 1e9);
    return 0;
}
EOF
cc -O2 -pthread -o "$dir/loop" "$dir/loop.c" -lz
"$dir/loop" -core "$dir/core.iso" "$mb"

# Prints the best wall time in seconds of `repeat` runs of the command.
best_of() {
    local best="" t0 t1 t
    for ((r = 0; r < repeat; r++)); do
        t0=$(date +%s.%N)
        "$@" > /dev/null || { echo "failed: $*" >&2; exit 1; }
        t1=$(date +%s.%N)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || (( $(echo "$t < $best" | bc -l) )); then best=$t; fi
    done
    echo "$best"
}

# Prints the best wall time of `repeat` runs of the command and, after it, the peak memory
# in KiB of the run that took it.
best_of_peak() {
    local best="" peak="" t0 t1 t
    for ((r = 0; r < repeat; r++)); do
        t0=$(date +%s.%N)
        /usr/bin/time -f %M -o "$dir/peak" "$@" > /dev/null || { echo "failed: $*" >&2; exit 1; }
        t1=$(date +%s.%N)
        t=$(echo "$t1 - $t0" | bc -l)
        if [ -z "$best" ] || (( $(echo "$t < $best" | bc -l) )); then best=$t peak=$(cat "$dir/peak"); fi
    done
    echo "$best $peak"
}

# Prints the best in-memory loop time over the image `$1` on `$2` threads (default 1) of
# `repeat` runs.
best_loop() {
    local best="" t
    for ((r = 0; r < repeat; r++)); do
        t=$("$dir/loop" "$1" "${2:-1}")
        if [ -z "$best" ] || (( $(echo "$t < $best" | bc -l) )); then best=$t; fi
    done
    echo "$best"
}

img=$dir/image.iso
cat "$img" "$dir/core.iso" > /dev/null  # into the page cache before the first timing
t_loop=$(best_loop "$img")
t_com=$(best_of "$exe" -com "$img" "$dir/ref.cso")
t_opt=$(best_of "$exe" -com -opt "$img" "$dir/opt.cso")
t_mt=$(best_of "$exe" -com -MT "$img" "$dir/mt.cso")
cmp -s "$dir/opt.cso" "$dir/mt.cso" || { echo "-com -MT and -com -opt files differ"; exit 1; }
t_dec=$(best_of "$exe" -dec "$dir/ref.cso" "$dir/back.iso")
t_deco=$(best_of "$exe" -dec -opt "$dir/opt.cso" "$dir/back2.iso")
t_est=$(best_of "$exe" -est "$img")
t_estmt=$(best_of "$exe" -est -MT "$img")
t_core_loop=$(best_loop "$dir/core.iso")
t_core_opt=$(best_of "$exe" -com -opt "$dir/core.iso" "$dir/core-opt.cso")
t_core_mt=$(best_of "$exe" -com -MT "$dir/core.iso" "$dir/core-mt.cso")
cmp -s "$dir/core-opt.cso" "$dir/core-mt.cso" || { echo "-com -MT and -com -opt files differ"; exit 1; }

rate() { echo "scale=1; $bytes / 1000000 / $1" | bc -l; }
ratio() { echo "scale=2; $1 / $2" | bc -l; }
echo "image: $(echo "scale=1; $bytes / 1000000" | bc) MB mixed (text, noise, zero runs)," \
     "CSO $(echo "scale=1; $(stat -c %s "$dir/opt.cso") / 1000000" | bc) MB;" \
     "best of $repeat; load now: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-34s %8s MB/s\n' "deflate loop in memory, 1 thread" "$(rate "$t_loop")" \
    "vellicor -com" "$(rate "$t_com")" \
    "vellicor -com -opt" "$(rate "$t_opt")" \
    "vellicor -com -MT" "$(rate "$t_mt")" \
    "vellicor -dec" "$(rate "$t_dec")" \
    "vellicor -dec -opt" "$(rate "$t_deco")" \
    "vellicor -est" "$(rate "$t_est")" \
    "vellicor -est -MT" "$(rate "$t_estmt")"
echo "speed-up -com -MT over -com -opt:        $(ratio "$t_opt" "$t_mt")x (target 1.8)"
echo "speed-up -com -MT over the deflate loop: $(ratio "$t_loop" "$t_mt")x (target 1.8)"
echo "speed-up -est -MT over -est:             $(ratio "$t_est" "$t_estmt")x"
echo "core benchmark's image ($(echo "scale=1; $(stat -c %s "$dir/core.iso") / 1000000" | bc) MB):"
printf '%-34s %8s MB/s\n' "deflate loop in memory, 1 thread" "$(rate "$t_core_loop")" \
    "vellicor -com -opt" "$(rate "$t_core_opt")" \
    "vellicor -com -MT" "$(rate "$t_core_mt")"
echo "speed-up -com -MT over -com -opt:        $(ratio "$t_core_opt" "$t_core_mt")x (target 1.8)"
echo "speed-up -com -MT over the deflate loop: $(ratio "$t_core_loop" "$t_core_mt")x (target 1.8)"

# The worker counts, each against -MT's file; then -MT64's peak and the serial share.
t_loop2=$(best_loop "$img" 2)
declare -A t_n kb_n
for mt in -MT -MT1 -MT2 -MT4 -MT0; do
    read -r t_n[$mt] kb_n[$mt] <<<"$(best_of_peak "$exe" -com "$mt" "$img" "$dir/n.cso")"
    cmp -s "$dir/opt.cso" "$dir/n.cso" || { echo "-com $mt and -com -opt files differ"; exit 1; }
done
read -r _ kb_opt <<<"$(best_of_peak "$exe" -com -opt "$img" "$dir/n.cso")"
read -r _ kb_64 <<<"$(best_of_peak "$exe" -com -MT64 "$img" "$dir/n.cso")"
cmp -s "$dir/opt.cso" "$dir/n.cso" || { echo "-com -MT64 and -com -opt files differ"; exit 1; }
index_kb=$(( 8 * (bytes / 2048 + 1) / 1024 ))
echo "worker counts on the mixed image (-MT0: $(nproc) processors this run may use):"
printf '%-34s %8s MB/s\n' "deflate loop in memory, 1 thread" "$(rate "$t_loop")" \
    "deflate loop in memory, 2 threads" "$(rate "$t_loop2")"
printf '%-34s %8s MB/s %8s KiB peak\n' "vellicor -com -opt" "$(rate "$t_opt")" "$kb_opt"
for mt in -MT -MT1 -MT2 -MT4 -MT0; do
    printf '%-34s %8s MB/s %8s KiB peak\n' "vellicor -com $mt" "$(rate "${t_n[$mt]}")" "${kb_n[$mt]}"
done
printf '%-34s %8s      %8s KiB peak\n' "vellicor -com -MT64" "" "$kb_64"
echo "-MT64 beyond -com -opt: $(( kb_64 - kb_opt )) KiB (of which the size table, 4 bytes a" \
     "block: $(( index_kb / 2 )) KiB)"
echo "-MT0 against -MT:       $(ratio "${t_n[-MT]}" "${t_n[-MT0]}") (target 0.97)"
echo "-MT4 against -MT:       $(ratio "${t_n[-MT]}" "${t_n[-MT4]}") (target 0.97)"
echo "-MT1 against -com -opt: $(ratio "$t_opt" "${t_n[-MT1]}") (target 0.97)"
echo "-MT against the 2-thread deflate loop: $(ratio "$t_loop2" "${t_n[-MT]}")"
# Prints bench_serial's report of the run (of `repeat`, each to a new output file, as
# users write) whose main thread had the smallest share.
best_serial() {
    local best="" best_out="" share out
    for ((r = 0; r < repeat; r++)); do
        rm -f "$dir/n.cso"
        out=$("$serial" "$@" "$img" "$dir/n.cso")
        share=$(sed -n 's/.*serial share \([0-9.]*\) %.*/\1/p' <<<"$out")
        if [ -z "$best" ] || (( $(echo "$share < $best" | bc -l) )); then best=$share best_out=$out; fi
    done
    echo "$best_out"
}
echo "serial share of -com -MT (target at most 3 %, a bound of 11x on 16 cores):"
best_serial -com -MT
echo "serial share of -com -MT0:"
best_serial -com -MT0
