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

source "$root/scripts/wine-env.sh"  # LANG=C.UTF-8: Wine passes names in the locale's charset
use_converter_prefix
choose_wine_arch
wine=$wine_run build=$win_build exe=$win_dist/vellicor.exe
"$root/scripts/build.sh" build-wine -DVELLICOR_TESTS=ON -DVELLICOR_FRONTEND=OFF \
    -DVELLICOR_TEST_WINDOWS_EXE="$exe" -DVELLICOR_TEST_WINE="$wine" \
    -DVELLICOR_TEST_WINDOWS_TOOLS="$build/tests/windows"
# One Wine server for the whole run, so each converter start takes a fraction of a second;
# Wine's background services are started under it now, with their output to /dev/null:
# started by a test's converter run, they would hold its output pipes open.
"$wineserver_bin" -p || true  # already running is fine
trap '"$wineserver_bin" -k || true; remove_wine_server_dir' EXIT
"$wine" wineboot -i >/dev/null 2>&1 || true
(cd build-wine && ctest --output-on-failure -j 2)
