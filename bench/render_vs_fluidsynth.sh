#!/usr/bin/env bash
# Renders a folder of songs with kelvane-render and with fluidsynth (same bank,
# same rate, 16-bit WAV files on disk), effects on and off, and prints wall
# time, CPU time (user + system) and peak memory of each, with the ratio
# Kelvane / FluidSynth.
#
#   bench/render_vs_fluidsynth.sh [BUILD_DIR]
#
# Without BUILD_DIR, scripts/build.sh makes the Release build (build/release).
# Environment: BANK (default FluidR3_GM.sf2), SONGS (default the openmsx
# folder), RATE (44100), RUNS (3; the median is shown, as the machine may be shared).
#
# Each tool renders the whole folder in one process: kelvane-render writes a
# file per song (and attaches the bank anew for each), fluidsynth -F plays the
# songs one after the other into one file. kelvane-render loads only the
# samples the songs play; fluidsynth loads the whole bank.
# Each tool keeps its own defaults otherwise: polyphony (Kelvane 64 voices,
# fluidsynth 256), interpolation (linear against 4th order) and output gain.
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
songs_dir=${SONGS:-/usr/share/games/openttd/baseset/openmsx}
rate=${RATE:-44100}
runs=${RUNS:-3}
command -v fluidsynth >/dev/null || { echo "fluidsynth is missing (scripts/install-deps.sh)" >&2; exit 1; }
[ -f "$bank" ] || { echo "$bank is missing" >&2; exit 1; }
mapfile -t songs < <(find "$songs_dir" -maxdepth 1 -name '*.mid' | sort)
[ ${#songs[@]} -gt 0 ] || { echo "no songs in $songs_dir" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# run LABEL COMMAND...: appends "LABEL wall cpu peak-KiB audio-seconds" to $tmp/times.
run() {
  local label=$1
  shift
  rm -rf "$tmp/out" && mkdir "$tmp/out"
  (cd "$tmp/out" && /usr/bin/time -f '%e %U %S %M' -o "$tmp/time" "$@" >/dev/null 2>"$tmp/stderr") ||
    { echo "$label failed:" >&2; cat "$tmp/stderr" >&2; exit 1; }
  local bytes
  bytes=$(find "$tmp/out" -name '*.wav' -printf '%s\n' | awk '{ s += $1 - 44 } END { print s }')
  read -r wall user sys peak <"$tmp/time"
  echo "$label $wall $(echo "$user + $sys" | bc) $peak $(echo "scale=1; $bytes / 4 / $rate" | bc)" >>"$tmp/times"
}

echo "${#songs[@]} songs from $songs_dir, bank $bank, $rate Hz, $runs runs each (medians)"
for ((i = 0; i < runs; i++)); do
  run "kelvane effects" "$render" -q -b "$bank" -r "$rate" "${songs[@]}"
  run "fluidsynth effects" fluidsynth -ni -q -r "$rate" -F "$tmp/out/all.wav" "$bank" "${songs[@]}"
  run "kelvane dry" "$render" -q -b "$bank" -r "$rate" --no-chorus --no-reverb "${songs[@]}"
  run "fluidsynth dry" fluidsynth -ni -q -r "$rate" -R 0 -C 0 -F "$tmp/out/all.wav" "$bank" "${songs[@]}"
done

# Medians per label and column.
median() { grep "^$1 " "$tmp/times" | awk -v c="$2" '{ print $(c + 2) }' | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
printf '\n%-9s %-14s %10s %10s %12s %12s\n' effects tool "wall s" "CPU s" "peak MiB" "audio s"
for fx in effects dry; do
  for tool in kelvane fluidsynth; do
    printf '%-9s %-14s %10.2f %10.2f %12.1f %12.1f\n' "$fx" "$tool" "$(median "$tool $fx" 1)" "$(median "$tool $fx" 2)" \
      "$(echo "$(median "$tool $fx" 3) / 1024" | bc -l)" "$(median "$tool $fx" 4)"
  done
done
printf '\nRatios Kelvane / FluidSynth\n%-9s %10s %10s %12s %12s\n' effects wall CPU "peak memory" "audio length"
for fx in effects dry; do
  ratio() { echo "scale=3; $(median "kelvane $fx" "$1") / $(median "fluidsynth $fx" "$1")" | bc -l; }
  printf '%-9s %10.2f %10.2f %12.2f %12.2f\n' "$fx" "$(ratio 1)" "$(ratio 2)" "$(ratio 3)" "$(ratio 4)"
done
