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

frames() { echo $((($(stat -c %s "$1") - 44) / 4)); }
full=$(frames "$out")

# --length cuts the output to the frame.
"$render" -q -b "$bank" --length 0.25 -o "$work/excerpt.wav" "$song"
if [ "$(frames "$work/excerpt.wav")" -ne 11025 ]; then
  echo "--length 0.25: $(frames "$work/excerpt.wav") frames, expected 11025"
  exit 1
fi
# --start skips the first beat: the rest of the song and its tail (ending on a
# block). Without effects, so that only the second note's release makes the tail.
"$render" -q -b "$bank" --no-reverb --no-chorus -o "$work/dry.wav" "$song"
full=$(frames "$work/dry.wav")
"$render" -q -b "$bank" --no-reverb --no-chorus --start 0.5 -o "$work/second_beat.wav" "$song"
rest=$(frames "$work/second_beat.wav")
if [ "$rest" -lt $((full - 22050 - 2048)) ] || [ "$rest" -gt $((full - 22050 + 2048)) ]; then
  echo "--start 0.5: $rest frames, expected about $((full - 22050)) of $full"
  exit 1
fi

# Threads, interpolation and resampling choices render too; the summary gives
# the polyphony (two notes in turn, one voice or two per note) and the samples loaded.
summary=$("$render" -b "$bank" --threads -1 --resampling SINC16 --interpolation bilinear -o "$work/threads.wav" "$song" 2>"$work/stderr")
echo "$summary"
if ! [[ "$summary" =~ at\ most\ [1-4]\ voices\ sounding ]] || ! [[ "$summary" =~ \(0\ during\ rendering\) ]]; then
  echo "unexpected summary"
  exit 1
fi
# No progress bar when stderr is no terminal...
if [ -s "$work/stderr" ]; then
  echo "stderr is not a terminal, yet something was written: $(cat "$work/stderr")"
  exit 1
fi
# ...and one on a terminal, unless -q.
if command -v script >/dev/null; then
  shown=$(script -qec "'$render' -b '$bank' -o '$work/tty.wav' '$song'" /dev/null)
  if [[ "$shown" != *"100%"* ]]; then
    echo "no progress bar on a terminal: $shown"
    exit 1
  fi
  shown=$(script -qec "'$render' -q -b '$bank' -o '$work/tty.wav' '$song'" /dev/null)
  if [ -n "$shown" ]; then
    echo "-q still printed on a terminal: $shown"
    exit 1
  fi
fi
echo "options ok"
