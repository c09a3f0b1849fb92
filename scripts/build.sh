#!/usr/bin/env bash
# Configures and builds one build folder, the one place the scripts run cmake: the
# project (or the tree --source names) into FOLDER (default: build), every target or
# those --target names; other arguments go to cmake. Builds on every core
# (VELLICOR_JOBS=N for fewer). Relative folders are taken from the project's root.
#   scripts/build.sh [FOLDER] [--source DIR] [--target NAME]... [cmake arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=build
if [ $# -gt 0 ] && [[ $1 != -* ]]; then
    dir=$1
    shift
fi
source_dir=.
targets=()
cmake_args=()
while [ $# -gt 0 ]; do
    case $1 in
    --source) source_dir=$2; shift 2 ;;
    --target) targets+=(--target "$2"); shift 2 ;;
    *) cmake_args+=("$1"); shift ;;
    esac
done
# A folder configured for the tree at another path (a clone moved or copied) is configured
# again: cmake would refuse its cache. What else the folder holds (the Windows libraries,
# Wine prefixes, fuzz findings) stays.
if [ -f "$dir/CMakeCache.txt" ]; then
    made_for=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$dir/CMakeCache.txt")
    [ "$made_for" -ef "$source_dir" ] || rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles"
fi
# Ninja, where installed, for a new folder: Make starts a cmake process for every file's
# progress line. A folder keeps the generator it was made with.
generator=()
if [ ! -f "$dir/CMakeCache.txt" ] && command -v ninja >/dev/null; then generator=(-G Ninja); fi
cmake "${generator[@]}" -S "$source_dir" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    "${cmake_args[@]}" >/dev/null
cmake --build "$dir" -j "${VELLICOR_JOBS:-$(nproc)}" "${targets[@]}"
