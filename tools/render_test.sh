#!/usr/bin/env bash
# Renders a generated two-note song with TimGM6mb and checks the output.
#   render_test.sh kelvane-render work-dir
# Exits 77 (skipped) when TimGM6mb is not installed.
set -euo pipefail
render=$1
work=$2
bank=/usr/share/sounds/sf2/TimGM6mb.sf2
if [ ! -f "$bank" ]; then
  echo "SKIPPED: $bank is missing (apt-get install timgm6mb-soundfont)"
  exit 77
fi
mkdir -p "$work"
song=$work/two_notes.mid
out=$work/two_notes.wav
rm -f "$out"
# Format 0, 96 ticks per quarter at 120 bpm: program 0, C4 for one beat, E4 for one beat.
printf 'MThd\x00\x00\x00\x06\x00\x00\x00\x01\x00\x60' >"$song"
printf 'MTrk\x00\x00\x00\x17' >>"$song"
printf '\x00\xc0\x00' >>"$song"
printf '\x00\x90\x3c\x64\x60\x80\x3c\x40' >>"$song"
printf '\x00\x90\x40\x64\x60\x80\x40\x40' >>"$song"
printf '\x00\xff\x2f\x00' >>"$song"
"$render" -q -b "$bank" -o "$out" "$song"
# 44-byte header, then one second of 16-bit stereo frames at least (plus the release tail).
size=$(stat -c %s "$out")
if [ "$size" -lt $((44 + 44100 * 4)) ]; then
  echo "output too short: $size bytes"
  exit 1
fi
# The song is not silent: some sample is away from zero.
loud=$(od -An -v -t d2 -j 44 "$out" | awk '{ for (i = 1; i <= NF; i++) if ($i > 300 || $i < -300) n++ } END { print n + 0 }')
if [ "$loud" -eq 0 ]; then
  echo "output is silent"
  exit 1
fi
echo "rendered $size bytes"
