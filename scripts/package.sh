#!/usr/bin/env bash
# Builds the Debian package of the converter and the dialog into dist/ with CPack, and,
# where scripts/build-windows.sh has made the Windows executables, a zip of each
# architecture's executables beside it. Installs what it needs with apt-get as root (or
# through sudo). Builds in build-package/ (VELLICOR_PACKAGE_BUILD names another folder);
# arguments go to cmake after this script's own (the test command adds the tests, to run
# them on the very programs the package holds).
#   scripts/package.sh [cmake arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/setup-deps.sh" --build-only
build=${VELLICOR_PACKAGE_BUILD:-build-package}

# Release build with the distribution's hardening flags, without tests or benchmarks.
flags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CXXFLAGS)
flags+=" $(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get CPPFLAGS)"
ldflags=$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get LDFLAGS)
# Stripped at the link, not only at packing: the dialog carries the converter's file as the
# build made it (unstripped, it held debug data and the build's paths, at 7 times the size).
ldflags+=" -s"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DVELLICOR_TESTS=OFF \
    -DVELLICOR_BENCH=OFF -DVELLICOR_FRONTEND=ON -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$ldflags" "$@"
[ -x "$build/frontend/qt/wendrovix" ] ||
    { echo "Qt 6 was not found: the package would lack the dialog" >&2; exit 1; }

mkdir -p dist
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
rm -f dist/vellicor_"$version"_*.deb
(cd "$build" && cpack -G DEB -B "$root/dist")
rm -rf dist/_CPack_Packages

# The Windows executables, one zip per architecture that has been built.
for arch in x86:build-windows/dist x64:build-windows/dist-x64; do
    exes=("${arch#*:}"/*.exe)
    [ -e "${exes[0]}" ] || continue
    zip_name="dist/vellicor-$version-windows-${arch%%:*}.zip"
    rm -f "$zip_name"
    notice=()  # the programs carry libdeflate, zopfli and liblz4
    for n in "${arch#*:}"/{libdeflate-COPYING,zopfli-COPYING,lz4-LICENSE}.txt; do
        if [ -e "$n" ]; then notice+=("$n"); fi
    done
    zip -q -j -X "$zip_name" "${exes[@]}" "${notice[@]}"
done
ls -l dist
