# Sourced by the test scripts: ctest with a TMPDIR of the run's own.
#
# scratch_ctest FOLDER [CTEST-ARGS...] runs ctest in build FOLDER on both processors. The
# tests make their folders in a TMPDIR made for this run under $VELLICOR_SCRATCH_PARENT
# (default: the system's temporary folder), removed when ctest ends, pass or fail: a test
# program killed mid-run (a timeout, a sanitizer's stop) cannot remove its own. A script
# that may itself be ended mid-run calls remove_ctest_scratch from its EXIT trap, or sets
# the parent to a folder its trap removes. VELLICOR_KEEP_TEST_FILES=1 keeps the folder
# (in the system's temporary folder) and prints where it is.

ctest_scratch=

scratch_ctest() {
    local dir=$1 parent=${VELLICOR_SCRATCH_PARENT:-${TMPDIR:-/tmp}} status=0
    shift
    [ "${VELLICOR_KEEP_TEST_FILES:-}" != 1 ] || parent=${TMPDIR:-/tmp}
    ctest_scratch=$(mktemp -d "$parent/vellicor-ctest.XXXXXX") || return 1
    # A test runs the converter as another user in a folder of its own.
    chmod 711 "$ctest_scratch" || { remove_ctest_scratch; return 1; }
    (cd "$dir" && TMPDIR=$ctest_scratch ctest --output-on-failure --no-tests=error -j 2 "$@") ||
        status=$?
    remove_ctest_scratch
    return "$status"
}

remove_ctest_scratch() {
    [ -n "$ctest_scratch" ] || return 0
    if [ "${VELLICOR_KEEP_TEST_FILES:-}" = 1 ]; then echo "kept $ctest_scratch"
    else rm -rf "$ctest_scratch"; fi
    ctest_scratch=
}
