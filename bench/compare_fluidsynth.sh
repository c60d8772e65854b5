#!/usr/bin/env bash
# Side-by-side speed comparison with fluidsynth; prints a table of ratios.
#
#   bench/compare_fluidsynth.sh [BUILD_DIR]
#
# 1. Voice throughput on one thread, effects off: the song of
#    bench/voice_throughput_song.py (~960 held voices) rendered by
#    kelvane-render (CUBICSPLINE, LINEAR) and fluidsynth (its default 4th order,
#    and `interp 1` linear), CPU time net of a one-note song of the same length
#    (start-up, bank loading, file writing). Ratio = fluidsynth net CPU /
#    Kelvane net CPU, so above 1 means Kelvane is faster.
# 2. The openmsx corpus, effects on, each tool's defaults: Kelvane / fluidsynth
#    total wall time, CPU time (user + sys) and peak memory (below 1 means
#    Kelvane uses less).
# 3. Two render threads against one on the song (CUBICSPLINE): throughput
#    ratio from wall time net of the one-note song (--threads 2 against no
#    pool; --threads 1 would mean no pool either).
# Runs alternate the tools (A B A B ...) and the medians are used, as the
# machine may be shared. Before timing, the script checks that both render the
# same number of voices: Kelvane's summary line, and fluidsynth's output being
# the same with polyphony V as with 4096 but different with V - 1.
#
# Environment: BANK (FluidR3_GM.sf2), RATE (44100), RUNS (3), CORPUS (1; 0
# skips target 2), SONGS (the openmsx folder).
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
rate=${RATE:-44100}
runs=${RUNS:-3}
corpus=${CORPUS:-1}
songs_dir=${SONGS:-/usr/share/games/openttd/baseset/openmsx}
python=/usr/bin/python3
command -v fluidsynth >/dev/null || { echo "fluidsynth is missing (scripts/install-deps.sh)" >&2; exit 1; }
[ -f "$bank" ] || { echo "$bank is missing" >&2; exit 1; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
$python bench/voice_throughput_song.py "$tmp/song.mid"
$python bench/voice_throughput_song.py --one-note "$tmp/one.mid"
printf 'interp 1\n' >"$tmp/linear.cfg"
printf 'interp 4\n' >"$tmp/fourth.cfg"

kelvane=("$render" -q -b "$bank" -r "$rate" --voices 4096)
fluid=(fluidsynth -ni -q -r "$rate" -o synth.cpu-cores=1 -o synth.polyphony=4096)

# Voices: Kelvane reports the most voices sounding at once.
kvoices=$("$render" -b "$bank" -r "$rate" --voices 4096 --no-chorus --no-reverb -o "$tmp/k.wav" "$tmp/song.mid" 2>&1 |
  sed -n 's/.*at most \([0-9]*\) voices.*/\1/p')
[ -n "$kvoices" ] || { echo "no voice count from kelvane-render" >&2; exit 1; }
fvoices() {
  fluidsynth -ni -q -r "$rate" -R 0 -C 0 -o synth.polyphony="$1" -F "$tmp/f$1.wav" "$bank" "$tmp/song.mid" 2>/dev/null
  md5sum <"$tmp/f$1.wav" | cut -d' ' -f1
}
full=$(fvoices 4096)
if [ "$(fvoices "$kvoices")" = "$full" ] && [ "$(fvoices $((kvoices - 1)))" != "$full" ]; then
  fvoice_note="$kvoices (same output at polyphony $kvoices, different at $((kvoices - 1)))"
else
  fvoice_note="NOT $kvoices: the voice counts differ, the throughput ratios are not comparable"
fi
rm -f "$tmp"/*.wav

# run LABEL COMMAND...: appends "LABEL wall cpu peak-KiB" to $tmp/times.
run() {
  local label=$1
  shift
  rm -rf "$tmp/out" && mkdir "$tmp/out"
  (cd "$tmp/out" && /usr/bin/time -f '%e %U %S %M' -o "$tmp/time" "$@" >/dev/null 2>"$tmp/stderr") ||
    { echo "$label failed:" >&2; cat "$tmp/stderr" >&2; exit 1; }
  read -r wall user sys peak <"$tmp/time"
  echo "$label $wall $(echo "$user + $sys" | bc) $peak" >>"$tmp/times"
}

dry_k=(--no-chorus --no-reverb)
dry_f=(-R 0 -C 0)
mapfile -t songs < <(find "$songs_dir" -maxdepth 1 -name '*.mid' | sort)
for ((i = 0; i < runs; i++)); do
  for song in song one; do
    run "k-cubic-$song" "${kelvane[@]}" "${dry_k[@]}" --resampling CUBICSPLINE -o k.wav "$tmp/$song.mid"
    run "f-fourth-$song" "${fluid[@]}" "${dry_f[@]}" -f "$tmp/fourth.cfg" -F f.wav "$bank" "$tmp/$song.mid"
    run "k-linear-$song" "${kelvane[@]}" "${dry_k[@]}" --resampling LINEAR -o k.wav "$tmp/$song.mid"
    run "f-linear-$song" "${fluid[@]}" "${dry_f[@]}" -f "$tmp/linear.cfg" -F f.wav "$bank" "$tmp/$song.mid"
    run "k-threads-$song" "${kelvane[@]}" "${dry_k[@]}" --resampling CUBICSPLINE --threads 2 -o k.wav "$tmp/$song.mid"
  done
  if [ "$corpus" = 1 ] && [ ${#songs[@]} -gt 0 ]; then
    run k-corpus "$render" -q -b "$bank" -r "$rate" "${songs[@]}"
    run f-corpus fluidsynth -ni -q -r "$rate" -F all.wav "$bank" "${songs[@]}"
  fi
done

# median LABEL COLUMN (1 wall, 2 CPU, 3 peak KiB)
median() { grep "^$1 " "$tmp/times" | awk -v c="$2" '{ print $(c + 1) }' | sort -g |
  awk '{ v[NR] = $1 } END { print (NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }
net() { echo "$(median "$1-song" "$2") - $(median "$1-one" "$2")" | bc -l; }
ratio() { echo "scale=3; $1 / $2" | bc -l; }

echo "Bank $bank, $rate Hz, $runs runs each (medians)."
echo "Voices on the song: Kelvane $kvoices, fluidsynth $fvoice_note."
printf '\n%-52s %8s %8s %s\n' "ratio" value target ""
printf '%-52s %8.2f %8s %s\n' "1a throughput CUBICSPLINE / fluidsynth 4th order" \
  "$(ratio "$(net f-fourth 2)" "$(net k-cubic 2)")" ">= 2.0" ""
printf '%-52s %8.2f %8s %s\n' "1b throughput LINEAR / fluidsynth linear" \
  "$(ratio "$(net f-linear 2)" "$(net k-linear 2)")" ">= 2.0" ""
if [ "$corpus" = 1 ] && [ ${#songs[@]} -gt 0 ]; then
  printf '%-52s %8.2f %8s\n' "2a corpus wall time Kelvane / fluidsynth" \
    "$(ratio "$(median k-corpus 1)" "$(median f-corpus 1)")" "<= 0.5"
  printf '%-52s %8.2f %8s\n' "2a corpus CPU time (user+sys) Kelvane / fluidsynth" \
    "$(ratio "$(median k-corpus 2)" "$(median f-corpus 2)")" "<= 0.5"
  printf '%-52s %8.2f %8s\n' "2b corpus peak memory Kelvane / fluidsynth" \
    "$(ratio "$(median k-corpus 3)" "$(median f-corpus 3)")" "<= 0.5"
fi
printf '%-52s %8.2f %8s\n' "3  throughput 2 threads / 1 thread (wall)" \
  "$(ratio "$(net k-cubic 1)" "$(net k-threads 1)")" ">= 1.8"
if [ "$corpus" = 1 ] && [ ${#songs[@]} -gt 0 ]; then
  printf '\nCorpus (%d songs): Kelvane wall %.2f s CPU %.2f s %d KiB, fluidsynth wall %.2f s CPU %.2f s %d KiB\n' \
    "${#songs[@]}" "$(median k-corpus 1)" "$(median k-corpus 2)" "$(median k-corpus 3)" \
    "$(median f-corpus 1)" "$(median f-corpus 2)" "$(median f-corpus 3)"
fi
printf 'Net CPU s on the song: Kelvane cubic %.2f linear %.2f, fluidsynth 4th %.2f linear %.2f\n' \
  "$(net k-cubic 2)" "$(net k-linear 2)" "$(net f-fourth 2)" "$(net f-linear 2)"
