#!/usr/bin/env bash
# Builds the desktop front-end wendrovix and starts it for a person (needs a display).
# Missing Debian packages are installed first (as root, or through sudo).
#   scripts/run-frontend.sh        build folder: build-frontend (WENDROVIX_BUILD to change)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WENDROVIX_BUILD:-$root/build-frontend}

PACKAGES=(g++ make cmake zlib1g-dev qt6-base-dev qt6-qpa-plugins libgl-dev
          fonts-wqy-microhei qt6-translations-l10n)
missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    as_root=()
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null || { echo "need root (or sudo) to install: ${missing[*]}" >&2; exit 1; }
        as_root=(sudo)
    fi
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    "${as_root[@]}" apt-get update -q
    "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S "$root" -B "$build" -DVELLICOR_FRONTEND=ON -DVELLICOR_TESTS=OFF >/dev/null
cmake --build "$build" --target wendrovix -j "$(nproc)"
exec "$build/frontend/wendrovix" "$@"
