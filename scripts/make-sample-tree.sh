#!/usr/bin/env bash
# Writes a small PSP-like folder tree (about 3 MB) into the folder given: program files
# that compress well, a video and an audio file that don't, update files, empty files.
set -eu  # no pipefail: head ends the generators early on purpose
t=$1
mkdir -p "$t/PSP_GAME/SYSDIR/UPDATE/DATA" "$t/PSP_GAME/USRDIR/MOVIE" "$t/PSP_GAME/USRDIR/SOUND"
seq 1 60000 | sed 's/^/module entry /' | head -c 700000 > "$t/PSP_GAME/SYSDIR/EBOOT.BIN"
seq 1 20000 | sed 's/$/ resource table/' | head -c 300000 > "$t/PSP_GAME/USRDIR/DATA.PRX"
{ printf 'PSMF0015'; head -c 900000 /dev/urandom; } > "$t/PSP_GAME/USRDIR/MOVIE/OPENING.PMF"
{ printf 'RIFF'; head -c 400000 /dev/urandom; } > "$t/PSP_GAME/USRDIR/SOUND/BGM.AT3"
seq 1 30000 | head -c 200000 > "$t/PSP_GAME/SYSDIR/UPDATE/EBOOT.PBP"
seq 1 9000 | head -c 50000 > "$t/PSP_GAME/SYSDIR/UPDATE/DATA/PART1.BIN"
printf 'PSF\0' > "$t/PSP_GAME/PARAM.SFO"
head -c 100000 /dev/zero > "$t/PSP_GAME/USRDIR/PADDING.BIN"
: > "$t/UMD_DATA.BIN"
