#!/usr/bin/env bash
# Runs every test: the suite in a normal build (converter and front-end), the same suite
# under AddressSanitizer and UndefinedBehaviorSanitizer, a short run of each fuzz target,
# and the converter's suite again against its Windows build under Wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup-deps.sh"
export QT_QPA_PLATFORM=offscreen

echo "== build and test =="
"$root/scripts/build.sh" build -DVELLICOR_TESTS=ON -DVELLICOR_FRONTEND=ON
(cd build && ctest --output-on-failure -j 2)

echo "== build and test under AddressSanitizer + UndefinedBehaviorSanitizer =="
"$root/scripts/build.sh" build-asan -DVELLICOR_TESTS=ON -DVELLICOR_FRONTEND=ON -DVELLICOR_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    ctest --output-on-failure -j 2)

if [ -x "$root/scripts/fuzz-smoke.sh" ]; then
    echo "== fuzz targets, short runs =="
    "$root/scripts/fuzz-smoke.sh"
fi
echo "== the Windows converter under Wine =="
"$root/scripts/test-windows.sh"

echo "== the Debian package: build, check, install, run, remove =="
"$root/scripts/test-package.sh"

"$root/scripts/test-windows-dialog.sh"
echo "All tests passed."
