#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan, UBSan) into fuzz-build and runs each for a
# bounded time on the seed corpus and the kept regression inputs. Exits non-zero when a
# target finds a crash, a hang, a leak, an oversized allocation or a sanitizer report.
# Runs FUZZ_JOBS targets at once (default: one per processor). --build-only builds the
# targets and stops; --run-only runs them on the corpus as it is (the test command builds
# them and makes the seeds with fuzz-seeds.sh while other stages run).
#   FUZZ_SECONDS=30 scripts/fuzz-smoke.sh [--build-only | --run-only] [target ...]
# Targets: decompress compress isoscan parser examine verify shape (all by default).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-30}
build=$root/fuzz-build
mode=all
case ${1:-} in --build-only | --run-only) mode=${1#--}; shift ;; esac
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(decompress compress isoscan parser examine verify shape)

if [ "$mode" != run-only ]; then
    source "$root/scripts/apt-env.sh"
    # libFuzzer itself comes with the compiler-rt development package.
    install_packages clang-14 libclang-rt-14-dev >/dev/null
    install_packages genisoimage xorriso >/dev/null || true  # without them, no seeds
    CXX=clang++-14 VELLICOR_JOBS=2 "$root/scripts/build.sh" "$build" --source "$root/fuzz" >/dev/null
    [ "$mode" = all ] || exit 0
    if command -v genisoimage >/dev/null && command -v xorriso >/dev/null; then
        "$root/scripts/fuzz-seeds.sh" "" "$build/corpus" >/dev/null
    fi
fi

# The targets' scratch folders go into one folder, removed at the end, pass or fail: a
# target ended by a crash or a timeout cannot remove its own.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
export TMPDIR=$scratch

# Per-target limits: longest input, largest single allocation, extra flags.
declare -A max_len=([decompress]=65536 [compress]=135168 [isoscan]=131072 [parser]=512 [examine]=65536
    [verify]=65540 [shape]=8192)
declare -A malloc_mb=([decompress]=16 [compress]=64 [isoscan]=64 [parser]=64 [examine]=16 [verify]=16 [shape]=16)
declare -A dict=([parser]=parser.dict)  # under fuzz/

# Runs target $1 for $seconds on its corpus and prints one line; fails when it found a fault.
run_target() {
    local t=$1 work=$build/run/$1 artifacts=$build/artifacts/$1 log=$build/run/$1.log
    local kept=()  # the inputs kept from earlier finds, where the target has any
    [ ! -d "$root/tests/data/fuzz-regressions/$t" ] || kept=("$root/tests/data/fuzz-regressions/$t")
    mkdir -p "$work" "$artifacts" "$build/corpus/$t"
    if "$build/fuzz_$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 \
        -malloc_limit_mb="${malloc_mb[$t]}" -max_len="${max_len[$t]}" -print_final_stats=1 \
        -artifact_prefix="$artifacts/" ${dict[$t]:+"-dict=$root/fuzz/${dict[$t]}"} \
        "$work" "$build/corpus/$t" "${kept[@]}" >"$log" 2>&1; then
        echo "fuzz-smoke: $t ok: $(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}') runs," \
             "$(grep -E '#[0-9]+[[:space:]]+DONE' "$log" | grep -oE 'cov: [0-9]+' | tail -1)"
    else
        echo "fuzz-smoke: $t FAILED (log $log, inputs in $artifacts):" >&2
        grep -E 'ERROR|vellicor fuzz|SUMMARY' "$log" | head -5 >&2
        return 1
    fi
}

for t in "${targets[@]}"; do
    [ -n "${max_len[$t]:-}" ] || { echo "fuzz-smoke: no target $t (targets: ${!max_len[*]})" >&2; exit 2; }
done

# The targets in rounds of FUZZ_JOBS; every run takes the same time.
jobs=${FUZZ_JOBS:-$(nproc)}
status=0
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
    pids=()
    for t in "${targets[@]:i:jobs}"; do
        run_target "$t" &
        pids+=($!)
    done
    for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
exit $status
