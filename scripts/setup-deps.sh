#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the sample job and the dialog need;
# with --package-tools, also those that build and check the Debian package. Package names
# given as arguments are installed too, all in one apt-get run. Only missing packages are
# installed; runs apt-get as root (or through sudo).
#   scripts/setup-deps.sh [--package-tools] [package ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/apt-env.sh"

PACKAGES=(g++ make cmake pkg-config zlib1g-dev libdeflate-dev libzopfli-dev liblz4-dev libssl-dev
          libgtest-dev googletest genisoimage xorriso qt6-base-dev qt6-qpa-plugins qt6-translations-l10n libgl-dev
          fonts-wqy-microhei xvfb xauth
          clang-14 libclang-rt-14-dev)
PACKAGE_TOOLS=(dpkg-dev file lintian desktop-file-utils groff zip)
for arg in "$@"; do
    if [ "$arg" = --package-tools ]; then PACKAGES+=("${PACKAGE_TOOLS[@]}"); else PACKAGES+=("$arg"); fi
done
install_packages "${PACKAGES[@]}"
