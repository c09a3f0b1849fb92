#!/usr/bin/env bash
# Builds the desktop front-end wendrovix and starts it for a person (needs a display).
# Missing Debian packages are installed first (as root, or through sudo).
#   scripts/run-frontend.sh        build folder: build-frontend (WENDROVIX_BUILD to change)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${WENDROVIX_BUILD:-$root/build-frontend}

"$root/scripts/setup-deps.sh"

"$root/scripts/build.sh" "$build" --target wendrovix -DVELLICOR_FRONTEND=ON -DVELLICOR_TESTS=OFF
exec "$build/frontend/qt/wendrovix" "$@"
