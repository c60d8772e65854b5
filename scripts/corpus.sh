#!/usr/bin/env bash
# Renders every openmsx song whole with FluidR3_GM and TimGM6mb in the Release
# build and checks each render (tools/corpus_test.py), then checks the songs'
# lengths against mido (tools/duration_test.py). The test suite runs the same
# checks on excerpts at a lower rate (ctest -L corpus).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
build=${KELVANE_BUILD_DIR:-build/release}
render=$(realpath "$build/tools/kelvane-render")
work=$build/corpus
status=0
for bank in FluidR3_GM TimGM6mb; do
  tools/corpus_test.py "$render" "$work/$bank" "/usr/share/sounds/sf2/$bank.sf2" || status=1
done
tools/duration_test.py "$render" "$work/durations" /usr/share/sounds/sf2/TimGM6mb.sf2 || status=1
exit $status
