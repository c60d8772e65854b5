#!/usr/bin/env bash
# The main job: installs what is needed, builds, and renders a MIDI file with
# the default General MIDI bank to a WAV file.
#   scripts/render.sh [song.mid] [out.wav]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
build=${KELVANE_BUILD_DIR:-build/release}
if [ ! -x "$build/tools/kelvane-render" ]; then
  echo "Built the engine in $build. The renderer command (kelvane-render) does not exist yet, so nothing was rendered."
  exit 0
fi
song=${1:-/usr/share/games/openttd/baseset/openmsx/chemistry_lab.mid}
out=${2:-out.wav}
if [ ! -f "$song" ]; then
  echo "Demo song $song is missing (apt-get install openttd-openmsx), or give one: scripts/render.sh song.mid [out.wav]" >&2
  exit 1
fi
"$build/tools/kelvane-render" -o "$out" "$song"
