#!/usr/bin/env bash
# Where the corpus render time goes: perf samples of kelvane-render and of
# fluidsynth rendering the whole openmsx corpus (effects on, each tool's
# defaults, one process for all songs), grouped into items.
#
#   bench/corpus_profile.sh [BUILD_DIR]
#
# Environment: BANK (FluidR3_GM.sf2), SONGS (the openmsx folder), FREQ (perf
# sampling rate, 250), TOOLS ("kelvane fluidsynth"). Needs perf.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-${KELVANE_BUILD_DIR:-build/release}}
render=$(realpath "$build/tools/kelvane-render")
bank=${BANK:-/usr/share/sounds/sf2/FluidR3_GM.sf2}
songs_dir=${SONGS:-/usr/share/games/openttd/baseset/openmsx}
freq=${FREQ:-250}
tools=${TOOLS:-kelvane fluidsynth}
mapfile -t songs < <(find "$songs_dir" -maxdepth 1 -name '*.mid' | sort)
[ ${#songs[@]} -gt 0 ] || { echo "no songs in $songs_dir" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Symbol patterns of each item, first match wins (extended regular expressions).
items=(
  "reverb|TReverb|fluid_revmodel|freeverb"
  "chorus|TChorus|fluid_chorus|__sin|__cos|sincos"
  "effect idle scans|AudioActiveStateTracker|Peak"
  "voice: resampling|Resample|fluid_rvoice_dsp_interpolate"
  "voice: filters|Filter|Biquad|fluid_iir_filter"
  "voice: mixing|MixVoice|MixToTargets|ClickRemoval|fluid_rvoice_buffers|fluid_rvoice_mixer"
  "voice: envelopes, modulation, start|Envelope|Modulation|TVoice|TChannel|fluid_voice|fluid_rvoice|fluid_adsr|fluid_lfo|fluid_mod|pow|exp|fluid_synth_noteon|fluid_synth_alloc"
  "bank load and preset tree|SF2|Preset|Layer|Bank|Sample|fluid_sffile|fluid_defsfont|fluid_sfont|fluid_inst|fluid_preset|fluid_sample|fluid_list"
  "output: conversion and WAV writing|sndfile|sf_write|psf_|fluid_file_renderer|fluid_synth_write|RenderSong|Run\\(|write"
  "memory: malloc, free, page faults|malloc|free|_int_|memset|memcpy|memmove|page|clear_page|mmap|munmap|brk"
)

for tool in $tools; do
  rm -rf "$tmp/out" && mkdir "$tmp/out"
  if [ "$tool" = kelvane ]; then
    cmd=("$render" -q -b "$bank" "${songs[@]}")
  else
    cmd=(fluidsynth -ni -q -r 44100 -F all.wav "$bank" "${songs[@]}")
  fi
  (cd "$tmp/out" && perf record -q -F "$freq" -o "$tmp/$tool.data" "${cmd[@]}" >/dev/null 2>&1)
  perf report -i "$tmp/$tool.data" --no-children --sort symbol --stdio -g none 2>/dev/null |
    awk '/%/ { p = $1; sub("%", "", p); $1 = ""; $2 = ""; print p "\t" $0 }' >"$tmp/$tool.txt"
  echo "== $tool: share of perf samples"
  awk -F'\t' -v items="$(printf '%s\n' "${items[@]}")" '
    BEGIN { n = split(items, rows, "\n"); for (i = 1; i <= n; i++) { k = index(rows[i], "|"); name[i] = substr(rows[i], 1, k - 1); re[i] = substr(rows[i], k + 1) } }
    { for (i = 1; i <= n; i++) if ($2 ~ re[i]) { share[i] += $1; next } other += $1 }
    END { for (i = 1; i <= n; i++) printf "%6.2f%%  %s\n", share[i], name[i]; printf "%6.2f%%  other\n", other }' "$tmp/$tool.txt"
  echo "-- top symbols"
  head -15 "$tmp/$tool.txt" | awk -F'\t' '{ printf "%6.2f%% %s\n", $1, substr($2, 1, 90) }'
done
