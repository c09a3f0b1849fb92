#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the sample job and the dialog need.
# Package names given as arguments are installed too. Only missing packages are
# installed; runs apt-get as root (or through sudo).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/apt-env.sh"

PACKAGES=(g++ make cmake pkg-config zlib1g-dev libdeflate-dev libzopfli-dev liblz4-dev libssl-dev
          libgtest-dev googletest genisoimage xorriso qt6-base-dev qt6-qpa-plugins qt6-translations-l10n libgl-dev
          fonts-wqy-microhei xvfb xauth
          clang-14 libclang-rt-14-dev)
install_packages "${PACKAGES[@]}" "$@"
