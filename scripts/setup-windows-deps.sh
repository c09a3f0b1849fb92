#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need: the i686 and x86_64
# mingw-w64 C++ compilers (posix threads), zlib built for them, Wine with its 32-bit part
# (which needs the i386 architecture in dpkg), icoutils for resource listings, and Xvfb
# with a CJK font for the dialog, and what `apt-get source` needs to fetch libdeflate's
# source package. Only missing packages are installed, by setup-deps.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          libz-mingw-w64-dev wine wine32:i386 icoutils xvfb xauth fonts-wqy-microhei
          dpkg-dev debian-archive-keyring)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
    as_root=()
    [ "$(id -u)" -ne 0 ] && as_root=(sudo)
    "${as_root[@]}" dpkg --add-architecture i386  # setup-deps.sh updates the lists next
fi
"$root/scripts/setup-deps.sh" "${PACKAGES[@]}"
