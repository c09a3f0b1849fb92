#!/usr/bin/env bash
# Runs every test: the suite on the build the Debian package is made from (converter and
# dialog), the same suite under AddressSanitizer and UndefinedBehaviorSanitizer, a short
# run of each fuzz target, the converter's suite and the dialog's tests against the
# Windows build under Wine (the 32-bit build compiled with warnings as errors), and the
# Debian package checked, installed and removed. Prints each stage's time.
#
# Each build is made once, and the two processors are kept busy: only the packages the
# builds need are installed first; the others (the tests', the Windows compilers and Wine)
# are installed beside the builds, and the sanitizer build, the Windows programs, the fuzz
# targets and their seeds are made in the background at a lower priority; the stages under
# Wine (which reuse the Linux test programs) start once the Windows programs are built and
# run beside the Linux suites, as do the fuzz targets' short runs: a suite waits on its
# test programs much of the time.
# FUZZ_SECONDS sets each fuzz target's run (default 20).
set -euo pipefail
set -m  # each background stage is a process group of its own, to end it whole
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
source "$root/scripts/apt-env.sh"
# The Debian package's stage installs and removes it: say so now, not after the builds.
can_be_root || { echo "the tests install the Debian package: run them as root or with sudo" >&2; exit 1; }
export QT_QPA_PLATFORM=offscreen
logs=$(mktemp -d)
chmod 711 "$logs"  # passed through, not listed, by the tests' TMPDIR (suite)
source "$root/scripts/ctest-scratch.sh"
declare -A bg_pid bg_start
fg_pid=  # the foreground stage's process group while it runs
stage_times=()

# Ends the stages still running, foreground and background, and removes their logs.
end_background() {
    local pid
    for pid in "${bg_pid[@]}" $fg_pid; do kill -- -"$pid" 2>/dev/null || true; done
    remove_test_folder "$logs"
}
trap end_background EXIT

# Runs the command, then writes the processor time its processes took (user + system,
# whole seconds) to file $1; exits with the command's status.
with_cpu() {
    local file=$1 status=0
    shift
    "$@" || status=$?
    times > "$file.times"  # not in a pipe: a forked shell counts no children
    awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/);
        printf "%d\n", u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$file.times" > "$file"
    return "$status"
}

# Prints the log of every background stage that has ended with a failure: a failing
# foreground stage ends the run, and a background one may have failed first.
show_failed_background() {
    local name status
    for name in "${!bg_pid[@]}"; do
        ! kill -0 "${bg_pid[$name]}" 2>/dev/null || continue
        status=0
        wait "${bg_pid[$name]}" || status=$?
        [ "$status" != 0 ] || continue
        echo "== $name (in the background) FAILED (status $status)"
        cat "$logs/$name.log"
    done
}

# Runs a stage in the foreground and prints its time and processor time; a failure ends
# the run with the stage's name and the background stages that failed.
stage() {
    local name=$1 start=$SECONDS
    shift
    echo "== $name"
    # A group of its own, waited for, so that a test command ended from outside ends it too.
    (with_cpu "$logs/cpu" "$@") </dev/null &
    fg_pid=$!
    local status=0
    wait "$fg_pid" || status=$?
    fg_pid=
    if [ "$status" != 0 ]; then
        echo "== $name FAILED (status $status)"
        show_failed_background
        exit "$status"
    fi
    local cpu
    cpu=$(cat "$logs/cpu")
    stage_times+=("$name: $((SECONDS - start)) s, processor $cpu s")
    echo "== $name: $((SECONDS - start)) s (processor $cpu s)"
}

# Sets process $1's niceness to $2 above the command's own (renice takes it as absolute);
# a user may not lower it again, nor raise it past what is allowed, which only costs speed.
nice_by() {
    renice -n "$((start_nice + $2))" -p "$1" >/dev/null 2>&1 || true
}
start_nice=$(nice)

# Starts a stage in the background at the given niceness, its output kept in a log; a
# niceness above 0 lets it take mostly what the foreground leaves.
background() {
    local nice=$1 name=$2
    shift 2
    bg_start[$name]=$SECONDS
    ( [ "$nice" = 0 ] || nice_by "$BASHPID" "$nice"
      with_cpu "$logs/$name.cpu" "$@" ) >"$logs/$name.log" 2>&1 &
    bg_pid[$name]=$!
}

# Waits for a background stage, prints its output and time, and fails where it failed.
# A stage waited for is the foreground's work: it goes on at the command's own priority.
join() {
    local name=$1 status=0 waited=$SECONDS
    renice -n "$start_nice" -g "${bg_pid[$name]}" >/dev/null 2>&1 || true
    wait "${bg_pid[$name]}" || status=$?
    unset "bg_pid[$name]"
    echo "== $name (in the background)"
    cat "$logs/$name.log"
    local cpu
    cpu=$(cat "$logs/$name.cpu" 2>/dev/null || echo "?")
    stage_times+=("$name: $((SECONDS - bg_start[$name])) s, of which $((SECONDS - waited)) s waited for, processor $cpu s")
    echo "== $name: $((SECONDS - bg_start[$name])) s (waited for $((SECONDS - waited)) s, processor $cpu s)"
    [ "$status" = 0 ] || { echo "== $name FAILED (status $status)"; exit "$status"; }
}

# ctest in a build folder (scripts/ctest-scratch.sh); the tests' TMPDIR goes with the logs
# if the test command is ended.
suite() {
    VELLICOR_SCRATCH_PARENT=$logs scratch_ctest "$@"
}

# The sanitizer build's own test programs, then the package's build's programs that start
# the converter, against the sanitizer build's converter. The image over 4 GiB is decoded
# in the package's suite and under Wine; under the sanitizers it would only add a minute
# of writing.
sanitizer_suite() {
    suite build-asan &&
        VELLICOR_TEST_EXE="$root/build-asan/converter/vellicor" suite build-package \
            -L '^converter$' -E '^ForeignLayouts[.]ImageOf4GiBAndMoreDecodesWhole$'
}

# The packages only the tests, the Debian package's check and the Windows build need, in
# one apt run at full priority (the package's suite waits for them), marked ready; then,
# at the sanitizer build's priority, the build Wine runs here and the Wine prefixes of
# both Wine stages, marked ready; then the 32-bit build, where Wine runs the 64-bit one.
# Both builds with warnings as errors.
windows_ready() {
    "$root/scripts/setup-windows-deps.sh" --package-tools &&
        touch "$logs/packages-ready" &&
        nice_by "$BASHPID" 5 &&
        "$root/scripts/build-windows.sh" --arch wine -DCMAKE_COMPILE_WARNING_AS_ERROR=ON &&
        "$root/scripts/test-windows.sh" --prepare &&
        "$root/scripts/test-windows-dialog.sh" --prepare &&
        touch "$logs/windows-ready" &&
        "$root/scripts/build-windows.sh" --arch 32 -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
}

# Waits until windows_ready (its process $2) has left mark $1; fails when it has ended
# without.
wait_for_mark() {
    local mark=$1 maker=$2
    while [ ! -e "$logs/$mark" ]; do
        kill -0 "$maker" 2>/dev/null || { echo "windows_ready ended before $mark"; return 1; }
        sleep 1
    done
}

# Runs the command once windows_ready (its process $2) has left mark $1.
after_mark() {
    local mark=$1 maker=$2 start=$SECONDS
    shift 2
    wait_for_mark "$mark" "$maker" || return 1
    echo "(started after $((SECONDS - start)) s, when $mark was marked)"
    "$@"
}

stage "install what the Linux builds need" "$root/scripts/setup-deps.sh" --build-only
# The test programs that start the converter come from the package's build (see
# sanitizer_suite); this build makes those that run the code in-process.
background 5 "build under AddressSanitizer + UndefinedBehaviorSanitizer" "$root/scripts/build.sh" \
    build-asan -DVELLICOR_TESTS=ON -DVELLICOR_CONVERTER_TESTS=OFF -DVELLICOR_BENCH=OFF \
    -DVELLICOR_FRONTEND=ON -DVELLICOR_SANITIZE=ON
background 0 "the tests' packages, the Windows build and Wine prefixes" windows_ready
windows=${bg_pid["the tests' packages, the Windows build and Wine prefixes"]}
background 10 "fuzz targets build" after_mark packages-ready "$windows" \
    "$root/scripts/fuzz-smoke.sh" --build-only
stage "the package's build, with the tests" \
    "$root/scripts/package.sh" -DVELLICOR_TESTS=ON -DVELLICOR_BENCH=ON
# Without them no suite can run: a failed install ends the run with its log.
wait_start=$SECONDS
wait_for_mark packages-ready "$windows" ||
    { join "the tests' packages, the Windows build and Wine prefixes"; exit 1; }
stage_times+=("wait for the tests' packages: $((SECONDS - wait_start)) s")
background 10 "fuzz seeds" "$root/scripts/fuzz-seeds.sh" "$root/build-package/converter/vellicor"
background 0 "the Debian package: check, install, run, remove" \
    "$root/scripts/test-package.sh" --no-build
background 0 "the Windows converter under Wine" \
    after_mark windows-ready "$windows" "$root/scripts/test-windows.sh" build-package
background 0 "the Windows dialog under Wine" \
    after_mark windows-ready "$windows" "$root/scripts/test-windows-dialog.sh"
stage "test the package's build" suite build-package
join "build under AddressSanitizer + UndefinedBehaviorSanitizer"
join "fuzz targets build"
join "fuzz seeds"
FUZZ_JOBS=1 FUZZ_SECONDS=${FUZZ_SECONDS:-20} background 5 "fuzz targets, short runs" \
    "$root/scripts/fuzz-smoke.sh" --run-only
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    stage "test under AddressSanitizer + UndefinedBehaviorSanitizer" sanitizer_suite
join "fuzz targets, short runs"
join "the Debian package: check, install, run, remove"
join "the tests' packages, the Windows build and Wine prefixes"
join "the Windows converter under Wine"
join "the Windows dialog under Wine"
echo "== stage times"
printf "   %s\n" "${stage_times[@]}"
echo "== all: $SECONDS s"
times > "$logs/all.times"
awk 'NR == 2 { print "== processor time, all stages: " $1 " user, " $2 " system" }' "$logs/all.times"
echo "All tests passed."
