#!/usr/bin/env bash
# Builds the Debian package (scripts/package.sh) and checks it: lintian reports no errors
# (its warnings are printed), the desktop entry validates and the manual pages format
# without warnings. Then installs it with apt-get, runs the installed programs from the
# PATH (help, a round trip of a mastered image, the dialog with a file argument,
# offscreen) and removes the package again, pass or fail. Runs apt-get as root (or
# through sudo). VELLICOR_KEEP_TEST_FILES=1 keeps the temporary folder. --no-build checks
# the newest package in dist/ as it is (the test command built it with the suite).
#   scripts/test-package.sh [--no-build]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
[ "${1:-}" = --no-build ] || "$root/scripts/package.sh"
"$root/scripts/setup-deps.sh" --package-tools

source "$root/scripts/apt-env.sh"
deb=$(ls -t dist/vellicor_*_"$(dpkg --print-architecture)".deb | head -n 1)
tmp=$(mktemp -d)
installed_here=0

# Removes the package if this script installed it, and the temporary folder, even when
# the removal fails (which fails the run).
clean_up() {
    local status=$?
    if [ "$installed_here" = 1 ] && ! apt_get purge -y -q vellicor >/dev/null; then
        echo "FAILED: the package could not be removed" >&2
        status=1
    fi
    if [ "${VELLICOR_KEEP_TEST_FILES:-}" = 1 ]; then echo "kept $tmp"; else rm -rf "$tmp"; fi
    exit "$status"
}
trap clean_up EXIT

# Prints a failure and ends the script (the trap cleans up).
fail() { echo "FAILED: $*" >&2; exit 1; }

echo "-- lintian $deb"
lint_status=0
# lintian leaves its ELF cache files in $TMPDIR: keep them in our folder.
lint=$(TMPDIR=$tmp lintian --fail-on error "$deb" 2>&1) || lint_status=$?
lint=$(grep -v 'running with root privileges' <<<"$lint" || true)
echo "${lint:-no errors, no warnings}"
[ "$lint_status" = 0 ] || fail "lintian reports errors (status $lint_status)"

echo "-- desktop entry and manual pages as packaged"
dpkg-deb -x "$deb" "$tmp/pkg"
desktop-file-validate "$tmp/pkg/usr/share/applications/wendrovix.desktop" || fail "desktop entry"
for page in "$tmp"/pkg/usr/share/man/man1/*.1.gz; do
    warnings=$(zcat "$page" | groff -ww -man -Tutf8 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
    echo "$(basename "$page"): formats without warnings"
done

echo "-- install"
dpkg-query -W -f='${Status}' vellicor 2>/dev/null | grep -q "install ok installed" &&
    fail "vellicor is already installed; remove it first so the test can remove its copy"
installed_here=1
apt_get install -y -q "./$deb" >/dev/null
[ "$(command -v vellicor)" = /usr/bin/vellicor ] || fail "vellicor is not on the PATH"
[ "$(command -v wendrovix)" = /usr/bin/wendrovix ] || fail "wendrovix is not on the PATH"
grep -q '^application/x-compressed-iso=.*wendrovix.desktop' \
    /usr/share/applications/mimeinfo.cache || fail "CSO files are not associated with wendrovix"

echo "-- installed vellicor"
vellicor -help </dev/null | grep -q '^Usage:  vellicor \[OPTIONS\] inputfile outputfile$' ||
    fail "vellicor -help"
"$root/scripts/master-images.sh" "$tmp" game
(cd "$tmp" && vellicor -com -l9 game.iso game.cso </dev/null >/dev/null) || fail "vellicor -com"
[ "$(head -c 4 "$tmp/game.cso")" = CISO ] || fail "game.cso is not a CSO file"
(cd "$tmp" && vellicor -dec game.cso back.iso </dev/null >/dev/null) || fail "vellicor -dec"
cmp "$tmp/game.iso" "$tmp/back.iso" || fail "the round trip changed the image"
echo "round trip of $(stat -c %s "$tmp/game.iso") bytes through $(stat -c %s "$tmp/game.cso") bytes"

echo "-- installed wendrovix with a file argument"
# Qt's runtime folder goes into ours, which is removed at the end.
mkdir -m 700 "$tmp/runtime"
state=$(WENDROVIX_PRINT_STATE=1 QT_QPA_PLATFORM=offscreen XDG_RUNTIME_DIR="$tmp/runtime" \
        timeout 60 wendrovix "$tmp/game.iso" 2>/dev/null) || fail "wendrovix did not run"
expected=$(printf 'input: %s\noutput: %s\nsave: enabled\nstart: enabled' \
           "$tmp/game.iso" "$tmp/game.cso")
[ "$state" = "$expected" ] || fail "wendrovix shows: $state"
echo "$state"
echo "Package tests passed."
