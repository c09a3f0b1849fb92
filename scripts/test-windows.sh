#!/usr/bin/env bash
# Runs the converter's black-box test suite against the Windows build under Wine: the
# test programs of a Linux build start the .exe through Wine (tests/test_util.h). The
# 32-bit build is tested where this machine can run 32-bit processes; elsewhere (a kernel
# without 32-bit user mode) the 64-bit build of the same sources is. FOLDER is a Linux
# build with its tests built (default: build, built here); --prepare builds the Windows
# programs and makes the Wine prefix, then stops.
#   scripts/test-windows.sh [--prepare | FOLDER]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
tests_build=${1:-}
"$root/scripts/setup-windows-deps.sh"
source "$root/scripts/wine-env.sh"  # LANG=C.UTF-8: Wine passes names in the locale's charset
use_converter_prefix
choose_wine_arch
"$root/scripts/build-windows.sh" --arch "$wine_arch" >/dev/null
if [ "$tests_build" = --prepare ]; then
    make_wine_prefix
    remove_wine_server_dir
    exit 0
fi
if [ -z "$tests_build" ]; then
    tests_build=build
    "$root/scripts/build.sh" "$tests_build" -DVELLICOR_TESTS=ON
fi
export VELLICOR_TEST_WINDOWS_EXE=$win_dist/vellicor.exe VELLICOR_TEST_WINE=$wine_run \
    VELLICOR_TEST_WINDOWS_TOOLS=$win_build/tests/windows
source "$root/scripts/ctest-scratch.sh"
trap 'end_wine_server; remove_ctest_scratch' EXIT
make_ctest_scratch
# Wine keeps its server's socket under TMPDIR: the server and the tests' programs, which
# start Wine, must share one, or each program starts a server of its own beside this one.
export TMPDIR=$ctest_scratch
start_persistent_server
# Only the programs that start the converter: the others test this machine's library.
ctest_in_scratch "$tests_build" -L '^converter$'
