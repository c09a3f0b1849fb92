#!/usr/bin/env bash
# Cross-builds the Windows executables: 32-bit (the shipped target) into build-windows/,
# copied to build-windows/dist/; and 64-bit into build-windows/x64/, copied to
# build-windows/dist-x64/ (Wine runs those where the machine has no 32-bit user mode).
# Installs the mingw-w64 compilers and Wine when they are missing; apt-get runs as root or
# through sudo. zlib and libdeflate come from Debian's own source packages, fetched through
# apt with a sources list of this build's own (the machine's apt settings stay as they are;
# apt checks the signatures and checksums) and built as static libraries for each
# architecture into build-windows/libdeflate/: libdeflate has no mingw package, and zlib is
# built with the flags Debian's Linux zlib has (-O3, unaligned loads), as the prebuilt
# mingw one compresses some 15 % slower. liblz4 (LZ4 blocks of CSO v2 and ZSO files) comes
# the same way, its one source file built as a static library. --arch 32 or --arch 64
# builds that one only (with its libraries), --arch wine the one Wine runs here
# (scripts/wine-env.sh); extra arguments go to cmake. Two runs at once take turns: at
# fetching the sources, and at building the same architecture.
#   scripts/build-windows.sh [--arch 32|64|wine]... [cmake arguments]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
# The resource compiler runs its preprocessor through a shell, which an apostrophe in a
# path breaks.
if [[ $root == *"'"* ]]; then
    echo "the Windows build can't be made in a folder whose path has an apostrophe: $root" >&2
    exit 1
fi
source "$root/scripts/apt-env.sh"
mkdir -p build-windows
exec 9>build-windows/.build-lock
flock 9
asked=()
while [ $# -gt 1 ] && [ "$1" = --arch ]; do
    asked+=("$2")
    shift 2
done
[ ${#asked[@]} -gt 0 ] || asked=(32 64)
"$root/scripts/setup-windows-deps.sh"
archs=()
for arch in "${asked[@]}"; do
    [ "$arch" != wine ] || arch=$(source "$root/scripts/wine-env.sh" && choose_wine_arch >/dev/null &&
                                  echo "$wine_arch")
    [[ " ${archs[*]} " == *" $arch "* ]] || archs+=("$arch")
done

LIBDEFLATE_VERSION=1.14-1  # Debian bookworm's; docs/windows.md names it
ZLIB_VERSION=1.2.13.dfsg-1  # Debian bookworm's (the Linux build's zlib1g adds a security fix)
ZOPFLI_VERSION=1.0.3-1  # Debian bookworm's, as the Linux build's libzopfli-dev
LZ4_VERSION=1.9.4-1  # Debian bookworm's, as the Linux build's liblz4
deflate_dir=$root/build-windows/libdeflate

# Prints the URI of the machine's Debian archive, as its own apt sources give it.
debian_uri() {
    local f=/etc/apt/sources.list.d/debian.sources
    if [ -f "$f" ]; then
        awk '/^URIs:/ { print $2; exit }' "$f"
    else
        awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /:\/\//) { print $i; exit } }' \
            /etc/apt/sources.list
    fi
}

# Fetches and unpacks the Debian source packages of libdeflate, zlib, zopfli and lz4 into
# $deflate_dir/src.
fetch_sources() {
    local apt=$deflate_dir/apt uri
    uri=$(debian_uri)
    [ -n "$uri" ] || { echo "no Debian archive found in the apt sources" >&2; exit 1; }
    rm -rf "$deflate_dir/src"  # apt-get source will not unpack over an earlier unpacking
    mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$deflate_dir/src"
    echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri bookworm main" \
        >"$apt/sources.list"
    local opts=(-o "Dir::Etc::SourceList=$apt/sources.list" -o Dir::Etc::SourceParts=-
                -o "Dir::State::Lists=$apt/lists" -o "Dir::Cache=$apt/cache")
    retry_fetch apt-get -q "${opts[@]}" update
    (cd "$deflate_dir/src" &&
        apt-get -q "${APT_RETRIES[@]}" "${opts[@]}" source "libdeflate=$LIBDEFLATE_VERSION" "zlib=1:$ZLIB_VERSION" \
            "zopfli=$ZOPFLI_VERSION" "lz4=$LZ4_VERSION")
}

# Builds the static library for mingw triple $1 into $deflate_dir/$1/{include,lib}.
build_libdeflate() {
    local triple=$1 out=$deflate_dir/$1
    [ -f "$out/lib/libdeflate.a" ] && return 0
    local src=$deflate_dir/src/libdeflate-${LIBDEFLATE_VERSION%-*}
    rm -rf "$deflate_dir/work-$triple"
    cp -a "$src" "$deflate_dir/work-$triple"
    make -C "$deflate_dir/work-$triple" -j "$(nproc)" CC="$triple-gcc-posix" \
        AR="$triple-ar" libdeflatestatic.lib
    mkdir -p "$out/include" "$out/lib"
    cp "$deflate_dir/work-$triple/libdeflate.h" "$out/include/"
    cp "$deflate_dir/work-$triple/libdeflatestatic.lib" "$out/lib/libdeflate.a"
    rm -rf "$deflate_dir/work-$triple"
}

# Builds zlib's static library for mingw triple $1 into $deflate_dir/$1/{include,lib}, with
# the flags of Debian's Linux build (its source package has no mingw makefile).
build_zlib() {
    local triple=$1 out=$deflate_dir/$1 work=$deflate_dir/zlib-work-$1
    local src=$deflate_dir/src/zlib-${ZLIB_VERSION%-*} f
    [ -f "$out/lib/libz.a" ] && return 0
    rm -rf "$work"
    mkdir -p "$work" "$out/include" "$out/lib"
    for f in adler32 compress crc32 deflate gzclose gzlib gzread gzwrite infback inffast \
             inflate inftrees trees uncompr zutil; do
        "$triple-gcc-posix" -O3 -Wall -DUNALIGNED_OK -D_REENTRANT -c "$src/$f.c" -o "$work/$f.o"
    done
    "$triple-ar" rcs "$out/lib/libz.a" "$work"/*.o
    cp "$src/zlib.h" "$src/zconf.h" "$out/include/"
    rm -rf "$work"
}

# Builds zopfli's static library for mingw triple $1 into $deflate_dir/$1/{include,lib},
# its header under zopfli/ as Debian installs it (its source package has no mingw makefile).
build_zopfli() {
    local triple=$1 out=$deflate_dir/$1 work=$deflate_dir/zopfli-work-$1
    local src=$deflate_dir/src/zopfli-${ZOPFLI_VERSION%-*}/src/zopfli f
    [ -f "$out/lib/libzopfli.a" ] && return 0
    rm -rf "$work"
    mkdir -p "$work" "$out/include/zopfli" "$out/lib"
    # Without -Wall: the unused helpers of its own headers would warn in every file.
    for f in blocksplitter cache deflate gzip_container hash katajainen lz77 squeeze tree util \
             zlib_container zopfli_lib; do
        "$triple-gcc-posix" -O2 -c "$src/$f.c" -o "$work/$f.o"
    done
    "$triple-ar" rcs "$out/lib/libzopfli.a" "$work"/*.o
    cp "$src/zopfli.h" "$out/include/zopfli/"
    rm -rf "$work"
}

# Builds liblz4's static library (lib/lz4.c: the block format only) for mingw triple $1
# into $deflate_dir/$1/{include,lib}.
build_lz4() {
    local triple=$1 out=$deflate_dir/$1 work=$deflate_dir/lz4-work-$1
    local src=$deflate_dir/src/lz4-${LZ4_VERSION%-*}/lib
    [ -f "$out/lib/liblz4.a" ] && return 0
    rm -rf "$work"
    mkdir -p "$work" "$out/include" "$out/lib"
    "$triple-gcc-posix" -O3 -Wall -c "$src/lz4.c" -o "$work/lz4.o"
    "$triple-ar" rcs "$out/lib/liblz4.a" "$work/lz4.o"
    cp "$src/lz4.h" "$out/include/"
    rm -rf "$work"
}

[ -d "$deflate_dir/src/libdeflate-${LIBDEFLATE_VERSION%-*}" ] &&
    [ -d "$deflate_dir/src/zlib-${ZLIB_VERSION%-*}" ] &&
    [ -d "$deflate_dir/src/zopfli-${ZOPFLI_VERSION%-*}" ] &&
    [ -d "$deflate_dir/src/lz4-${LZ4_VERSION%-*}" ] || fetch_sources
cp "$deflate_dir/src/libdeflate-${LIBDEFLATE_VERSION%-*}/COPYING" "$deflate_dir/COPYING"
flock -u 9  # the sources are here; each architecture has its own lock

# What the libraries are built from: their versions and the steps above (flags included).
libs_stamp=$({ echo "$LIBDEFLATE_VERSION $ZLIB_VERSION $ZOPFLI_VERSION $LZ4_VERSION"
              declare -f build_libdeflate build_zlib build_zopfli build_lz4; } | sha256sum)

# Builds the libraries of one architecture (again when they were built from other versions
# or by other steps), then configures and builds it into $2 and copies its programs to $3.
build_arch() {
    local toolchain=$1 dir=$2 dist=$3 deflate=$deflate_dir/$4
    [ "$(cat "$deflate/stamp" 2>/dev/null)" = "$libs_stamp" ] || rm -rf "$deflate"
    build_libdeflate "$4"
    build_zlib "$4"
    build_zopfli "$4"
    build_lz4 "$4"
    echo "$libs_stamp" > "$deflate/stamp"
    shift 4
    # ZLIB_LIBRARY_RELEASE too: it wins over ZLIB_LIBRARY in an older cache.
    "$root/scripts/build.sh" "$dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" \
        -DCMAKE_BUILD_TYPE=Release -DVELLICOR_TESTS=OFF -DVELLICOR_FRONTEND=OFF \
        -DLIBDEFLATE_INCLUDE_DIR="$deflate/include" \
        -DLIBDEFLATE_LIBRARY="$deflate/lib/libdeflate.a" \
        -DZLIB_INCLUDE_DIR="$deflate/include" -DZLIB_LIBRARY="$deflate/lib/libz.a" \
        -DZLIB_LIBRARY_RELEASE="$deflate/lib/libz.a" \
        -DZOPFLI_INCLUDE_DIR="$deflate/include" -DZOPFLI_LIBRARY="$deflate/lib/libzopfli.a" \
        -DLIBLZ4_INCLUDE_DIR="$deflate/include" -DLIBLZ4_LIBRARY="$deflate/lib/liblz4.a" "$@"
    mkdir -p "$dist"
    for exe in vellicor.exe wendrovix.exe; do
        found=$(find "$dir" -mindepth 1 \( -name 'dist*' -o -name 'wineprefix*' -o -path "$dir/x64" \) -prune \
                -o -name "$exe" -type f -print | head -n 1)
        # Beside, then renamed over: a test run under Wine may be running the old program,
        # whose file must not change under it (a copy in place made those runs die).
        if [ -n "$found" ]; then cp "$found" "$dist/$exe.new" && mv -f "$dist/$exe.new" "$dist/$exe"; fi
    done
    # The programs carry libdeflate and zopfli, whose licences ask for their notices beside them.
    cp "$deflate_dir/COPYING" "$dist/libdeflate-COPYING.txt"
    cp "$deflate_dir/src/zopfli-${ZOPFLI_VERSION%-*}/COPYING" "$dist/zopfli-COPYING.txt"
    cp "$deflate_dir/src/lz4-${LZ4_VERSION%-*}/lib/LICENSE" "$dist/lz4-LICENSE.txt"  # liblz4's, likewise
}

for arch in "${archs[@]}"; do
    exec 8>"build-windows/.build-lock-$arch"
    flock 8
    case $arch in
    32) build_arch mingw-i686.cmake build-windows build-windows/dist i686-w64-mingw32 "$@"
        ls -l build-windows/dist ;;
    64) build_arch mingw-x86_64.cmake build-windows/x64 build-windows/dist-x64 x86_64-w64-mingw32 "$@"
        ls -l build-windows/dist-x64 ;;
    *) echo "--arch takes 32 or 64, not $arch" >&2; exit 2 ;;
    esac
    flock -u 8
done
