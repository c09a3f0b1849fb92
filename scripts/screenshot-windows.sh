#!/usr/bin/env bash
# Remakes docs/wendrovix-windows.png: wendrovix.exe under Wine and Xvfb, with the CJK font
# in Wine's prefix, after a real compression through the embedded converter; the picture
# is the dialog's window cut from the screen. With --queue, docs/wendrovix-windows-queue.png
# instead: a queue of three small mastered images, each compressed and verified. With
# --failure, docs/wendrovix-windows-failure.png: a file named .cso that is not a CSO, its
# failure explained.
#   scripts/screenshot-windows.sh [--queue|--failure]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/scripts/build-windows.sh" -DVELLICOR_WIN32_TESTS=ON >/dev/null
source "$root/scripts/apt-env.sh"
install_packages imagemagick >/dev/null
source "$root/scripts/wine-env.sh"
choose_wine_arch
prepare_wine_prefix

work=$(mktemp -d)
trap 'end_wine_server; rm -rf "$work"' EXIT
export work wine_run
export driver=$win_build/frontend/win32/wendrovix_test_dialog.exe
done_win=$(wine_path "$work/done")
export done_win
export picture=$root/docs/wendrovix-windows.png
images=()
if [ "${1:-}" = --queue ]; then
    picture=$root/docs/wendrovix-windows-queue.png
    "$root/scripts/master-images.sh" "$work" 示例游戏一 示例游戏二 示例游戏三
    for name in 示例游戏一 示例游戏二 示例游戏三; do images+=("$(wine_path "$work/$name.iso")"); done
elif [ "${1:-}" = --failure ]; then
    picture=$root/docs/wendrovix-windows-failure.png
    head -c 4096 /dev/zero | tr '\0' 'x' >"$work/损坏的游戏.cso"
    images=("$(wine_path "$work/损坏的游戏.cso")")
fi
mkdir -p "$root/docs"
# The driver prints the window's place once the job is reported, then waits for "done";
# it is told so whatever happened, and a window never shown or a failed cut fails the run.
timed 300 xvfb-run -a -s "-screen 0 800x600x24" bash -c '
    "$wine_run" "$driver" --screenshot "$done_win" "$@" >"$work/out" &
    driver_pid=$!
    for _ in $(seq 900); do grep -q "^window" "$work/out" && break; sleep 0.2; done
    sleep 1
    status=0
    if read -r _ x y w h < <(grep "^window" "$work/out"); then
        import -window root -crop "${w}x${h}+${x}+${y}" +repage "$picture" || status=$?
    else
        echo "The dialog showed no window" >&2
        status=1
    fi
    touch "$work/done"
    wait "$driver_pid" || exit
    exit "$status"' _ "${images[@]}"
"$wineserver_bin" -w
echo "Wrote $picture"
