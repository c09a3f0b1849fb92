#!/usr/bin/env bash
# Cross-builds the Windows executables: 32-bit (the shipped target) into build-windows/,
# copied to build-windows/dist/; and 64-bit into build-windows/x64/, copied to
# build-windows/dist-x64/ (Wine runs those where the machine has no 32-bit user mode).
# Installs the mingw-w64 compilers, zlib for them and Wine when they are missing; apt-get
# runs as root or through sudo. Extra arguments go to cmake.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup-windows-deps.sh"

# Configures and builds one architecture into $2 and copies its programs to $3.
build_arch() {
    local toolchain=$1 dir=$2 dist=$3
    shift 3
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DVELLICOR_TESTS=OFF -DVELLICOR_FRONTEND=OFF "$@" >/dev/null
    cmake --build "$dir" -j "$(nproc)"
    mkdir -p "$dist"
    for exe in vellicor.exe wendrovix.exe; do
        found=$(find "$dir" -mindepth 1 \( -name 'dist*' -o -path "$dir/x64" \) -prune \
                -o -name "$exe" -type f -print | head -n 1)
        if [ -n "$found" ]; then cp "$found" "$dist/$exe"; fi
    done
}

build_arch mingw-i686.cmake build-windows build-windows/dist "$@"
build_arch mingw-x86_64.cmake build-windows/x64 build-windows/dist-x64 "$@"
ls -l build-windows/dist build-windows/dist-x64
