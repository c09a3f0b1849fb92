# Sourced by every script that runs the Windows programs under Wine; the one place that
# decides which build runs, which Wine loader runs it and in which prefix. No debug
# output, no installer pop-ups. Call choose_wine_arch first (or use_wine_arch 32 or 64
# to take that architecture); it sets:
#   wine_arch   32 or 64
#   wine_run    the loader for that architecture (/usr/lib/wine/wine or wine64)
#   win_build   the build folder of that architecture (build-windows or build-windows/x64)
#   win_dist    the folder of its shipped .exe files (build-windows/dist or dist-x64)
#   WINEPREFIX  a prefix of that architecture (a caller's WINEPREFIX gets an -32/-64 suffix)
# VELLICOR_WINE_ARCH=32 or 64 chooses; by default the 32-bit build (the shipped target)
# where this machine runs 32-bit processes, else the 64-bit one. The prefixes are the
# dialog's (build-windows/wineprefix-dialog-*, with the CJK font and a desktop) unless
# use_converter_prefix is called first.
root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
wineserver_bin=/usr/lib/wine/wineserver
caller_prefix=${WINEPREFIX:-}
wine_prefix_base=${caller_prefix:-$root/build-windows/wineprefix-dialog}

# Takes the bare prefixes of the converter's runs (its tests, the benchmark), kept apart
# from the dialog's: build-windows/wineprefix-converter-*, or the caller's WINEPREFIX.
use_converter_prefix() {
    wine_prefix_base=${caller_prefix:-$root/build-windows/wineprefix-converter}
}

# Returns success when this machine's kernel runs 32-bit x86 programs, known before Wine
# is installed: it starts a 93-byte 32-bit program that only exits (a kernel without
# 32-bit user mode refuses it with "Exec format error"). The probe is written under
# build-windows/, as a temporary folder may refuse to run any program.
kernel_runs_32bit() {
    local probe status=0
    mkdir -p "$root/build-windows"
    probe=$(mktemp "$root/build-windows/.probe32.XXXXXX")
    # ELF header, one loadable segment at 0x08048000, then: mov eax, 1; xor ebx, ebx; int 0x80
    printf '%b' '\x7fELF\x01\x01\x01\0\0\0\0\0\0\0\0\0\x02\0\x03\0\x01\0\0\0\x54\x80\x04\x08' \
        '\x34\0\0\0\0\0\0\0\0\0\0\0\x34\0\x20\0\x01\0\0\0\0\0\0\0' \
        '\x01\0\0\0\0\0\0\0\0\x80\x04\x08\0\x80\x04\x08\x5d\0\0\0\x5d\0\0\0\x05\0\0\0\0\x10\0\0' \
        '\xb8\x01\0\0\0\x31\xdb\xcd\x80' >"$probe"
    chmod +x "$probe"
    "$probe" 2>/dev/null || status=$?
    rm -f "$probe"
    return "$status"
}

# Returns success when this machine runs 32-bit processes: the 32-bit loader starts.
wine32_runs() {
    local loader
    loader=$(wine_loader 32)
    [ -x "$loader" ] && "$loader" --version >/dev/null 2>&1
}

# Prints the Wine loader that runs programs of the given architecture (32 or 64).
wine_loader() {
    if [ "$1" = 32 ]; then echo /usr/lib/wine/wine; else echo /usr/lib/wine/wine64; fi
}

# Chooses the architecture and sets the variables above; fails when its loader is missing.
choose_wine_arch() {
    local arch=${VELLICOR_WINE_ARCH:-}
    if [ -z "$arch" ]; then
        arch=64
        wine32_runs && arch=32
    fi
    use_wine_arch "$arch" || return 1
    echo "Wine runs the ${wine_arch}-bit build ($win_build)"
}

# Sets the variables above for architecture $1 (32 or 64), quietly; fails when its
# loader is missing.
use_wine_arch() {
    wine_arch=$1
    wine_run=$(wine_loader "$wine_arch")
    if [ "$wine_arch" = 32 ]; then
        win_build=$root/build-windows
        win_dist=$root/build-windows/dist
        export WINEARCH=win32
    else
        win_build=$root/build-windows/x64
        win_dist=$root/build-windows/dist-x64
        export WINEARCH=win64
    fi
    export WINEPREFIX=$wine_prefix_base-$wine_arch
    if [ ! -x "$wine_run" ]; then
        echo "the ${wine_arch}-bit Wine loader $wine_run is not installed" >&2
        return 1
    fi
}

# Makes the prefix once: the CJK font where Wine finds it, "宋体" mapped to it, and a
# virtual desktop (Xvfb has no window manager; Wine's desktop draws the window frames).
prepare_wine_prefix() {
    mkdir -p "$WINEPREFIX"
    "$wineserver_bin" -w  # a server left from another display would show windows there
    if [ ! -f "$WINEPREFIX/.vellicor-ready" ]; then
        make_wine_prefix
        mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
        cp /usr/share/fonts/truetype/wqy/wqy-microhei.ttc "$WINEPREFIX/drive_c/windows/Fonts/"
        local key='HKCU\Software\Wine\Fonts\Replacements'
        for name in 宋体 SimSun; do
            "$wine_run" reg add "$key" /v "$name" /d "WenQuanYi Micro Hei" /f >/dev/null
        done
        "$wine_run" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
        "$wine_run" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
            /d 800x600 /f >/dev/null
        "$wineserver_bin" -w
        touch "$WINEPREFIX/.vellicor-ready"
    fi
}

# Makes a bare prefix when it is missing, with a server of its own that ends with the
# making: a persistent server cannot start in a folder that does not exist yet.
make_wine_prefix() {
    [ -f "$WINEPREFIX/system.reg" ] && return 0
    mkdir -p "$WINEPREFIX"
    "$wine_run" wineboot -i >/dev/null 2>&1 || true
    "$wineserver_bin" -w
}

# Starts one Wine server for the whole run, so each program start takes a fraction of a
# second and no server ends between two starts (cutting off the second's connection);
# then Wine's background services under it, their output to /dev/null: started by a
# test's program run, they would hold its output pipes open. Stop it with wineserver -k.
start_persistent_server() {
    make_wine_prefix
    "$wineserver_bin" -p 2>/dev/null || true  # already running is fine
    "$wine_run" wineboot -i >/dev/null 2>&1 || true
}

# Returns a Unix path as Wine sees it (drive Z: is the Unix root).
wine_path() {
    local p=$1
    echo "Z:${p//\//\\}"
}

# Removes the folder in TMPDIR where this prefix's Wine server kept its socket (named in
# the prefix's "wineserver" file), so a run leaves nothing behind; call once the server
# ended, with the TMPDIR it ran with.
remove_wine_server_dir() {
    local name
    name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null) || return 0
    case $name in wine-*) rm -rf "${TMPDIR:-/tmp}/$name" ;; esac
}

# Runs a command under timeout(1), ended after $1 seconds. Ctrl-C and TERM end it too, and
# then this script: timeout takes the command out of the terminal's process group, and a
# shell waiting for it in the foreground would carry on once it ended.
timed() {
    local limit=$1 pid status=0 callers
    shift
    callers=$(trap -p INT TERM)
    timeout "$limit" "$@" &
    pid=$!
    trap 'kill -TERM "$pid" 2>/dev/null; wait "$pid" || true; exit 130' INT
    trap 'kill -TERM "$pid" 2>/dev/null; wait "$pid" || true; exit 143' TERM
    wait "$pid" || status=$?
    trap - INT TERM
    eval "$callers"
    return "$status"
}

# Ends this prefix's Wine server (running or not) and removes its socket folder: the
# clean-up of every script that runs Wine.
end_wine_server() {
    "$wineserver_bin" -k 2>/dev/null || true
    remove_wine_server_dir
}
