#!/bin/sh
# Time and peak memory of attaching a bank (delayed loading, then with every
# sample loaded) next to fluidsynth loading the same bank and exiting at once.
#
#   bench/attach_vs_fluidsynth.sh BUILD_DIR [BANK]
#
# BUILD_DIR holds bench/kelvane_attach_bank (use a Release build without
# sanitizers). fluidsynth renders an empty MIDI file with -F to /dev/null: it
# loads the whole bank (all samples, its default) and stops. Each command runs
# RUNS times (default 5); compare medians, as the machine is shared.
set -eu
build=${1:?usage: $0 BUILD_DIR [BANK]}
bank=${2:-/usr/share/sounds/sf2/FluidR3_GM.sf2}
runs=${RUNS:-5}
tool=$build/bench/kelvane_attach_bank
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# Format 0, one track holding only end-of-track.
printf 'MThd\000\000\000\006\000\000\000\001\000\140MTrk\000\000\000\004\000\377\057\000' >"$tmp/empty.mid"

measure() {
  label=$1
  shift
  i=0
  while [ "$i" -lt "$runs" ]; do
    /usr/bin/time -f "$label %e s wall, %M KiB peak" "$@" >/dev/null 2>>"$tmp/times" || true
    i=$((i + 1))
  done
}

for cmd in attach attach+load-all fluidsynth fluidsynth-dynamic; do
  case $cmd in
    attach) measure "$cmd" "$tool" "$bank" ;;
    attach+load-all) measure "$cmd" "$tool" "$bank" --load-all ;;
    fluidsynth) measure "$cmd" fluidsynth -ni -q -F /dev/null "$bank" "$tmp/empty.mid" ;;
    # Loads only the samples of the presets the channels start on.
    fluidsynth-dynamic)
      measure "$cmd" fluidsynth -ni -q -o synth.dynamic-sample-loading=1 -F /dev/null "$bank" "$tmp/empty.mid" ;;
  esac
done
grep -E ' s wall' "$tmp/times"
