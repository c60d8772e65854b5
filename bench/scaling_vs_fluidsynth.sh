#!/usr/bin/env bash
# Cost per voice-sample against the voice count and the output rate, side by
# side with fluidsynth; prints a table.
#
#   bench/scaling_vs_fluidsynth.sh [BUILD_DIR]
#
# The songs are bench/voice_throughput_song.py's held notes of one pad program
# (89: four looping voices per note in FluidR3_GM), so 16 to ~4096 voices come
# from 4 to 1020 notes. Each point renders the song and a one-note song of the
# same length, effects off, one thread: Kelvane CUBICSPLINE and fluidsynth's
# default 4th order. Cost = net CPU time / (voices x frames), in nanoseconds;
# ratio = fluidsynth / Kelvane (above 1: Kelvane is faster). Runs alternate the
# tools; medians. The voice count is Kelvane's summary line; at the smallest
# point the script checks that fluidsynth plays the same number.
#
# Environment: BANK (FluidR3_GM.sf2), RUNS (3), SONG_SECONDS (3: the length at
# ~4096 voices; fewer voices play proportionally longer, at most 60 s), PROGRAM (89).
set -euo pipefail
cd "$(dirname "$0")/.."
if [ $# -ge 1 ]; then
  build=$1
else
  bash scripts/build.sh >/dev/null
  build=${KELVANE_BUILD_DIR:-build/release}
fi
render=$(realpath "$build/tools/kelvane-render")
bank=${BANK:-/usr/share/sounds/sf2/FluidR3_GM.sf2}
runs=${RUNS:-3}
min_seconds=${SONG_SECONDS:-3}
voice_seconds=$((4096 * min_seconds))
program=${PROGRAM:-89}
python=/usr/bin/python3
command -v fluidsynth >/dev/null || { echo "fluidsynth is missing (scripts/install-deps.sh)" >&2; exit 1; }
[ -f "$bank" ] || { echo "$bank is missing" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
printf 'interp 4\n' >"$tmp/fourth.cfg"

# cpu COMMAND...: prints user + sys seconds of the command.
cpu() {
  (cd "$tmp" && /usr/bin/time -f '%U %S' -o "$tmp/time" "$@" >/dev/null 2>"$tmp/stderr") ||
    { echo "$* failed:" >&2; cat "$tmp/stderr" >&2; exit 1; }
  awk '{ print $1 + $2 }' "$tmp/time"
}
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

kelvane() { cpu "$render" -q -b "$bank" -r "$1" --voices 4096 --no-chorus --no-reverb --resampling CUBICSPLINE -o k.wav "$2"; }
fluid() { cpu fluidsynth -ni -q -r "$1" -R 0 -C 0 -o synth.cpu-cores=1 -o synth.polyphony=4096 -f "$tmp/fourth.cfg" -F f.wav "$bank" "$2"; }

# point CHANNELS KEYS RATE: one table row.
point() {
  local channels=$1 keys=$2 rate=$3 song=$tmp/song.mid one=$tmp/one.mid
  # About the same number of voice-seconds at every point (small points play
  # longer, up to a minute), so that the net CPU time stays well above noise.
  local seconds
  seconds=$(echo "s = $voice_seconds / (4 * $channels * $keys); if (s < $min_seconds) s = $min_seconds; if (s > 60) s = 60; s" | bc -l)
  $python bench/voice_throughput_song.py --program "$program" --channels "$channels" --keys "$keys" \
    --low-key 36 --seconds "$seconds" "$song"
  $python bench/voice_throughput_song.py --program "$program" --seconds "$seconds" --one-note "$one"
  local voices
  voices=$("$render" -b "$bank" -r "$rate" --voices 4096 --no-chorus --no-reverb -o "$tmp/k.wav" "$song" 2>&1 |
    sed -n 's/.*at most \([0-9]*\) voices.*/\1/p')
  local ks=() ko=() fs=() fo=()
  for ((i = 0; i < runs; i++)); do
    ks+=("$(kelvane "$rate" "$song")")
    fs+=("$(fluid "$rate" "$song")")
    ko+=("$(kelvane "$rate" "$one")")
    fo+=("$(fluid "$rate" "$one")")
  done
  local knet fnet
  knet=$(echo "$(printf '%s\n' "${ks[@]}" | median) - $(printf '%s\n' "${ko[@]}" | median)" | bc -l)
  fnet=$(echo "$(printf '%s\n' "${fs[@]}" | median) - $(printf '%s\n' "${fo[@]}" | median)" | bc -l)
  local vs
  vs=$(echo "$voices * $seconds * $rate" | bc -l)
  printf '%6d %7d %8.1f %12.2f %12.2f %8.2f\n' "$voices" "$rate" "$seconds" "$(echo "$knet * 1000000000 / $vs" | bc -l)" \
    "$(echo "$fnet * 1000000000 / $vs" | bc -l)" "$(echo "$fnet / $knet" | bc -l)"
}

# The smallest point first: the same voices on both sides?
$python bench/voice_throughput_song.py --program "$program" --channels 1 --keys 4 --low-key 36 --seconds 1 "$tmp/check.mid"
kv=$("$render" -b "$bank" --voices 4096 --no-chorus --no-reverb -o "$tmp/k.wav" "$tmp/check.mid" 2>&1 |
  sed -n 's/.*at most \([0-9]*\) voices.*/\1/p')
fmd5() {
  fluidsynth -ni -q -R 0 -C 0 -o synth.polyphony="$1" -F "$tmp/f.wav" "$bank" "$tmp/check.mid" 2>/dev/null
  md5sum <"$tmp/f.wav" | cut -d' ' -f1
}
if [ "$(fmd5 "$kv")" = "$(fmd5 4096)" ] && [ "$(fmd5 $((kv - 1)))" != "$(fmd5 4096)" ]; then
  echo "Program $program, 4 notes: $kv voices on both sides."
else
  echo "Program $program, 4 notes: Kelvane $kv voices, fluidsynth a different count: costs are not comparable."
fi
echo "Bank $bank, $voice_seconds voice-seconds per point (songs of $min_seconds to 60 s), $runs runs each (medians); ns per voice-sample, CPU time net of a one-note song."
printf '\n%6s %7s %8s %12s %12s %8s\n' voices rate seconds "Kelvane ns" "fluid ns" ratio
point 1 4 44100
point 1 16 44100
point 4 16 44100
point 8 32 44100
point 15 68 44100
point 8 32 48000
point 8 32 96000
