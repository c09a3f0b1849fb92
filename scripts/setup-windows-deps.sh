#!/usr/bin/env bash
# Installs what the Windows build and its tests under Wine need: the i686 and x86_64
# mingw-w64 C++ compilers (posix threads), zlib built for them, Wine with its 32-bit part (which needs the
# i386 architecture in dpkg), icoutils for resource listings, and Xvfb with a CJK font for
# the dialog. Only missing packages are installed.
set -euo pipefail

PACKAGES=(g++-mingw-w64-i686-posix mingw-w64-i686-dev binutils-mingw-w64-i686
          g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev binutils-mingw-w64-x86-64
          libz-mingw-w64-dev wine wine32:i386 icoutils xvfb xauth fonts-wqy-microhei
          cmake make)

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
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
fi
"${as_root[@]}" apt-get update -q
"${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
