#!/usr/bin/env bash
# Builds the Windows programs and runs the Windows front-end's tests under Wine: the job
# platform against real processes, then wendrovix.exe driven from a test program under
# Xvfb (real jobs through the embedded converter, two of them on images mastered here).
# Each test program removes its files; the mastered images are removed on exit.
# --prepare builds the programs and makes the Wine prefix, then stops.
#   scripts/test-windows-dialog.sh [--prepare]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup-windows-deps.sh"
source "$root/scripts/wine-env.sh"
choose_wine_arch
"$root/scripts/build-windows.sh" --arch "$wine_arch" -DVELLICOR_WIN32_TESTS=ON >/dev/null
images=
# Set before the prefix is made, whose server keeps a folder under /tmp: ended, pass or fail.
trap 'end_wine_server; [ -z "$images" ] || rm -rf "$images"' EXIT
prepare_wine_prefix
if [ "${1:-}" = --prepare ]; then
    exit 0
fi
tests=$win_build/frontend/win32
images=$(mktemp -d)
"$root/scripts/master-images.sh" "$images" 游戏一 游戏二

echo "== Windows job platform =="
timed 600 "$wine_run" "$tests/wendrovix_test_platform.exe"
"$wineserver_bin" -w  # the dialog's windows need a server started on the X display
echo "== Windows dialog =="
timed 900 xvfb-run -a -s "-screen 0 1024x768x24" "$wine_run" "$tests/wendrovix_test_dialog.exe" \
    --images "$(wine_path "$images")"
"$wineserver_bin" -w
echo "Windows front-end tests passed."
