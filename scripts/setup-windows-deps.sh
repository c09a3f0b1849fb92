#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need: the i686 and x86_64
# mingw-w64 C++ compilers (posix threads), Wine (wine64 runs the 64-bit build; wine32 the
# 32-bit one, installed only where the kernel runs 32-bit programs, as it needs the i386
# architecture in dpkg and a few hundred i386 packages; the "wine" package alone pulls in
# only one of the two), icoutils for resource listings, Xvfb with a CJK font
# for the dialog, and what `apt-get source` needs to fetch the source packages of zlib,
# libdeflate and lz4. Only missing packages are installed, by setup-deps.sh, in one
# apt-get run with the Linux build's and those named as arguments (--package-tools: as
# setup-deps.sh).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          wine wine64 icoutils xvfb xauth fonts-wqy-microhei
          dpkg-dev debian-archive-keyring)

source "$root/scripts/apt-env.sh"
source "$root/scripts/wine-env.sh"
if kernel_runs_32bit; then
    PACKAGES+=(wine32:i386)
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        as_root dpkg --add-architecture i386  # setup-deps.sh updates the lists next
    fi
fi
"$root/scripts/setup-deps.sh" "${PACKAGES[@]}" "$@"
