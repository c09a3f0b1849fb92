#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the sample job and the dialog need;
# with --package-tools, also those that check the Debian package; with --build-only, only
# those that build the programs, the tests and the package (the test command installs the
# rest in the background while it builds). Package names given as arguments are installed
# too, all in one apt-get run. Only missing packages are installed; runs apt-get as root
# (or through sudo).
#   scripts/setup-deps.sh [--build-only | --package-tools] [package ...]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/apt-env.sh"

BUILD=(g++ make cmake ninja-build pkg-config zlib1g-dev libdeflate-dev libzopfli-dev liblz4-dev libssl-dev
       libgtest-dev googletest qt6-base-dev libgl-dev dpkg-dev file zip)
RUN=(genisoimage xorriso qt6-qpa-plugins qt6-translations-l10n fonts-wqy-microhei xvfb xauth locales
     clang-14 libclang-rt-14-dev)
PACKAGE_TOOLS=(lintian desktop-file-utils groff)
build_only=0
extra=()
for arg in "$@"; do
    case $arg in
    --build-only) build_only=1 ;;
    --package-tools) extra+=("${PACKAGE_TOOLS[@]}") ;;
    *) extra+=("$arg") ;;
    esac
done
[ "$build_only" = 1 ] || extra+=("${RUN[@]}")
install_packages "${BUILD[@]}" "${extra[@]}"
