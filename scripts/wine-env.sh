# Sourced by the scripts that run the Windows programs under Wine: a prefix of their own,
# no debug output and no installer pop-ups, and the Wine that runs the chosen build.
# Sets: WINEPREFIX, wine_run (the loader), win_build (the build folder of that
# architecture). VELLICOR_WINE_ARCH=32 or 64 chooses; by default the 32-bit build (the
# shipped target) where this machine runs 32-bit processes, else the 64-bit one.
root=${root:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}
export WINEPREFIX=${WINEPREFIX:-$root/build-windows/wineprefix-dialog}
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LANG=C.UTF-8
wineserver_bin=/usr/lib/wine/wineserver

# Makes the prefix once: the CJK font where Wine finds it, "宋体" mapped to it, and a
# virtual desktop (Xvfb has no window manager; Wine's desktop draws the window frames).
prepare_wine_prefix() {
    mkdir -p "$WINEPREFIX"
    "$wineserver_bin" -w  # a server left from another display would show windows there
    if [ ! -f "$WINEPREFIX/.vellicor-ready" ]; then
        /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
        mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
        cp /usr/share/fonts/truetype/wqy/wqy-microhei.ttc "$WINEPREFIX/drive_c/windows/Fonts/"
        local key='HKCU\Software\Wine\Fonts\Replacements'
        for name in 宋体 SimSun; do
            /usr/lib/wine/wine64 reg add "$key" /v "$name" /d "WenQuanYi Micro Hei" /f >/dev/null
        done
        /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null
        /usr/lib/wine/wine64 reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default \
            /d 800x600 /f >/dev/null
        "$wineserver_bin" -w
        touch "$WINEPREFIX/.vellicor-ready"
    fi
}

# Chooses the architecture: 32-bit when asked, or when not told and a 32-bit program runs.
choose_wine_arch() {
    local arch=${VELLICOR_WINE_ARCH:-}
    if [ -z "$arch" ]; then
        arch=64
        if /usr/lib/wine/wine "$root/build-windows/frontend/win32/wendrovix_test_child.exe" \
                progress 0 >/dev/null 2>&1; then
            arch=32
        fi
    fi
    if [ "$arch" = 32 ]; then
        wine_run=/usr/lib/wine/wine win_build=$root/build-windows
    else
        wine_run=/usr/lib/wine/wine64 win_build=$root/build-windows/x64
    fi
    echo "Wine runs the ${arch}-bit build ($win_build)"
}

# Returns a Unix path as Wine sees it (drive Z: is the Unix root).
wine_path() {
    local p=$1
    echo "Z:${p//\//\\}"
}

# Removes the folder in /tmp where this prefix's Wine server kept its socket (named in the
# prefix's "wineserver" file), so a run leaves nothing behind; call once the server ended.
remove_wine_server_dir() {
    local name
    name=$(cat "$WINEPREFIX/wineserver" 2>/dev/null) || return 0
    case $name in wine-*) rm -rf "/tmp/$name" ;; esac
}
