# Sourced by the test scripts: ctest with a TMPDIR of the run's own.
#
# The tests make their folders in a TMPDIR made for the run under $VELLICOR_SCRATCH_PARENT
# (default: the system's temporary folder) and removed when the run ends, pass or fail: a
# test program killed mid-run (a timeout, a sanitizer's stop) cannot remove its own.
# VELLICOR_KEEP_TEST_FILES=1 keeps the folder (in the system's temporary folder) and
# prints where it is.
#
# scratch_ctest FOLDER [CTEST-ARGS...] makes the folder, runs ctest in build FOLDER on both
# processors with it as TMPDIR, and removes it. A script that needs the folder before the
# tests (Wine's server keeps its socket under TMPDIR, and the tests' programs must find
# it there) calls make_ctest_scratch, then ctest_in_scratch. One that may be ended mid-run
# calls remove_ctest_scratch from its EXIT trap, or sets the parent to a folder its trap
# removes with remove_test_folder.

ctest_scratch=

# Removes a folder the tests wrote in, first unmounting what a test ended mid-run left
# mounted inside it (the full-disk tests mount a small file system when run as root).
remove_test_folder() {
    local dir target
    [ -n "$1" ] || return 0
    dir=$(cd "$1" 2>/dev/null && pwd -P) || return 0
    while read -r _ target _; do
        target=$(printf '%b' "${target//\\/\\0}")  # octal escapes: \040 is a space
        case $target in "$dir"/*) umount -l "$target" 2>/dev/null || true ;; esac
    done < /proc/self/mounts
    rm -rf "$dir"
}

make_ctest_scratch() {
    local parent=${VELLICOR_SCRATCH_PARENT:-${TMPDIR:-/tmp}}
    [ "${VELLICOR_KEEP_TEST_FILES:-}" != 1 ] || parent=${TMPDIR:-/tmp}
    # mktemp's own name: Wine cuts some names of 250 UTF-8 bytes (a test's) by the length
    # of the folder they are in, and this length is one it keeps them whole in.
    ctest_scratch=$(mktemp -d -p "$parent") || return 1
    # A test runs the converter as another user in a folder of its own.
    chmod 711 "$ctest_scratch" || { remove_ctest_scratch; return 1; }
}

ctest_in_scratch() {
    local dir=$1
    shift
    (cd "$dir" && TMPDIR=$ctest_scratch ctest --output-on-failure --no-tests=error -j 2 "$@")
}

scratch_ctest() {
    local status=0
    make_ctest_scratch || return 1
    ctest_in_scratch "$@" || status=$?
    remove_ctest_scratch
    return "$status"
}

remove_ctest_scratch() {
    [ -n "$ctest_scratch" ] || return 0
    if [ "${VELLICOR_KEEP_TEST_FILES:-}" = 1 ]; then echo "kept $ctest_scratch"
    else remove_test_folder "$ctest_scratch"; fi
    ctest_scratch=
}
