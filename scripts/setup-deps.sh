#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the sample job and the dialog need.
# Package names given as arguments are installed too. Only missing packages are
# installed; runs apt-get as root (or through sudo).
set -euo pipefail

PACKAGES=(g++ make cmake pkg-config zlib1g-dev libdeflate-dev libssl-dev libgtest-dev googletest
          genisoimage xorriso qt6-base-dev qt6-qpa-plugins qt6-translations-l10n libgl-dev
          fonts-wqy-microhei xvfb xauth
          clang-14 libclang-rt-14-dev)
PACKAGES+=("$@")

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
    as_root=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# Another apt run (an unattended upgrade, a second build) may hold the lock: wait for it.
lock=(-o DPkg::Lock::Timeout=600)
"${as_root[@]}" apt-get "${lock[@]}" update -q
"${as_root[@]}" apt-get "${lock[@]}" install -y -q --no-install-recommends "${missing[@]}"
