#!/usr/bin/env bash
# Writes a small PSP-like folder tree into the folder given, the one maker of the sample
# trees that images are mastered from: program files that compress well, a video
# (PSMF) and an audio file (RIFF) that don't, update files, empty files. SCALE is its
# size in thousandths of the full sample (about 3 MB at 1000, the default): the main
# job's image takes 1000, the dialog's test and screenshot images a few hundred, the
# fuzz seeds 5.
#   scripts/make-sample-tree.sh FOLDER [SCALE]
set -eu  # no pipefail: head ends the generators early on purpose
t=$1
s=${2:-1000}
mkdir -p "$t/PSP_GAME/SYSDIR/UPDATE/DATA" "$t/PSP_GAME/USRDIR/MOVIE" "$t/PSP_GAME/USRDIR/SOUND"
seq 1 $((60 * s)) | sed 's/^/module entry /' | head -c $((700 * s)) > "$t/PSP_GAME/SYSDIR/EBOOT.BIN"
seq 1 $((20 * s)) | sed 's/$/ resource table/' | head -c $((300 * s)) > "$t/PSP_GAME/USRDIR/DATA.PRX"
{ printf 'PSMF0015'; head -c $((900 * s)) /dev/urandom; } > "$t/PSP_GAME/USRDIR/MOVIE/OPENING.PMF"
{ printf 'RIFF'; head -c $((400 * s)) /dev/urandom; } > "$t/PSP_GAME/USRDIR/SOUND/BGM.AT3"
seq 1 $((30 * s)) | head -c $((200 * s)) > "$t/PSP_GAME/SYSDIR/UPDATE/EBOOT.PBP"
seq 1 $((9 * s)) | head -c $((50 * s)) > "$t/PSP_GAME/SYSDIR/UPDATE/DATA/PART1.BIN"
printf 'PSF\0' > "$t/PSP_GAME/PARAM.SFO"
head -c $((100 * s)) /dev/zero > "$t/PSP_GAME/USRDIR/PADDING.BIN"
: > "$t/UMD_DATA.BIN"
