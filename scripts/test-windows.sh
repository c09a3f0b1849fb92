#!/usr/bin/env bash
# Runs the converter's black-box test suite against the Windows build under Wine. The
# 32-bit build is tested where this machine can run 32-bit processes; elsewhere (a kernel
# without 32-bit user mode) the 64-bit build of the same sources is. The Linux test
# programs are built into build-wine/ and start the .exe through Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup-deps.sh"
"$root/scripts/build-windows.sh" >/dev/null

if /usr/lib/wine/wine --version >/dev/null 2>&1; then
    wine=/usr/lib/wine/wine build=$root/build-windows exe=$root/build-windows/dist/vellicor.exe
else
    echo "32-bit processes cannot run here: testing the 64-bit Windows build"
    wine=/usr/lib/wine/wine64 build=$root/build-windows/x64 exe=$root/build-windows/dist-x64/vellicor.exe
fi

export WINEPREFIX=$root/build-wine/wineprefix
source "$root/scripts/wine-env.sh"  # LANG=C.UTF-8: Wine passes names in the locale's charset
"$root/scripts/build.sh" build-wine -DVELLICOR_TESTS=ON -DVELLICOR_FRONTEND=OFF \
    -DVELLICOR_TEST_WINDOWS_EXE="$exe" -DVELLICOR_TEST_WINE="$wine" \
    -DVELLICOR_TEST_WINDOWS_TOOLS="$build/tests/windows"
# One Wine server for the whole run, so each converter start takes a fraction of a second;
# Wine's background services are started under it now, with their output to /dev/null:
# started by a test's converter run, they would hold its output pipes open.
"${wine%/*}/wineserver" -p || true  # already running is fine
trap '"${wine%/*}/wineserver" -k || true; remove_wine_server_dir' EXIT
"$wine" wineboot -i >/dev/null 2>&1 || true
(cd build-wine && ctest --output-on-failure -j 2)
