#!/usr/bin/env bash
# Each failure the user can meet exits non-zero with a message that names the
# file at fault:
#   render_errors_test.sh kelvane-render work-dir
set -uo pipefail
render=$1
work=$2
rm -rf "$work"
mkdir -p "$work/home" "$work/cwd" "$work/empty-root"
song=$work/song.mid
# Format 0, 96 ticks per quarter: one C4 for one beat.
printf 'MThd\x00\x00\x00\x06\x00\x00\x00\x01\x00\x60MTrk\x00\x00\x00\x0c\x00\x90\x3c\x64\x60\x80\x3c\x40\x00\xff\x2f\x00' >"$song"
printf 'this is text, not a bank\n' >"$work/not_a_bank.sf2"
printf 'this is text, not a song\n' >"$work/not_a_song.mid"
bank=/usr/share/sounds/sf2/TimGM6mb.sf2
[ -f "$bank" ] || bank=$work/not_a_bank.sf2  # the cases below that need a real bank then fail early, still naming files

failures=0
# expect NAME EXPECTED-TEXT... -- COMMAND...: non-zero exit, every text in the message.
expect() {
  local name=$1
  shift
  local texts=()
  while [ "$1" != "--" ]; do
    texts+=("$1")
    shift
  done
  shift
  local message status
  message=$(cd "$work/cwd" && "$@" 2>&1 >/dev/null)
  status=$?
  if [ "$status" -eq 0 ]; then
    echo "FAIL $name: exit status 0"
    failures=$((failures + 1))
    return
  fi
  for text in "${texts[@]}"; do
    if [[ "$message" != *"$text"* ]]; then
      echo "FAIL $name: message lacks '$text':"
      echo "$message"
      failures=$((failures + 1))
      return
    fi
  done
  echo "ok   $name (status $status)"
}

# Nothing to find: a fresh home, no bank variable, and every fixed place looked
# up below an empty directory.
expect "no bank found" "no sound bank found" "$work/empty-root/usr/share/sounds/sf2/FluidR3_GM.sf2" \
  "$work/home/.local/share/sounds/sf2" "KELVANE_DEFAULT_BANK" "apt-get install fluid-soundfont-gm" -- \
  env -u KELVANE_DEFAULT_BANK -u XDG_DATA_HOME -u XDG_DATA_DIRS HOME="$work/home" \
  KELVANE_SEARCH_ROOT="$work/empty-root" "$render" -q -o "$work/out.wav" "$song"
expect "no bank found, listing" "no sound bank found" "apt-get install fluid-soundfont-gm" -- \
  env -u KELVANE_DEFAULT_BANK -u XDG_DATA_HOME -u XDG_DATA_DIRS HOME="$work/home" \
  KELVANE_SEARCH_ROOT="$work/empty-root" "$render" --list-presets
expect "file that is no bank" "$work/not_a_bank.sf2" "not a sound bank" -- \
  "$render" -q -b "$work/not_a_bank.sf2" -o "$work/out.wav" "$song"
expect "missing bank" "$work/no_such_bank.sf2" -- \
  "$render" -q -b "$work/no_such_bank.sf2" -o "$work/out.wav" "$song"
expect "bank info of no bank" "$work/not_a_bank.sf2" -- "$render" --bank-info -b "$work/not_a_bank.sf2"
expect "unwritable output" "$work/no_such_folder/out.wav" "cannot write" -- \
  "$render" -q -b "$bank" -o "$work/no_such_folder/out.wav" "$song"
expect "not a MIDI file" "$work/not_a_song.mid" "not a MIDI file" -- \
  "$render" -q -b "$bank" -o "$work/out.wav" "$work/not_a_song.mid"
expect "a folder as song" "$work/cwd" -- "$render" -q -b "$bank" -o "$work/out.wav" "$work/cwd"
expect "bad option value" "threads" "many" -- "$render" --threads many "$song"
expect "bad interpolation" "cubic" -- "$render" --interpolation cubic "$song"
expect "negative start" "-1" -- "$render" --start -1 "$song"

# One bad song among good ones: the others are still rendered, the status says a failure happened.
if [ -f /usr/share/sounds/sf2/TimGM6mb.sf2 ]; then
  cp "$song" "$work/cwd/good.mid"
  (cd "$work/cwd" && "$render" -q -b "$bank" good.mid "$work/not_a_song.mid" 2>/dev/null)
  status=$?
  if [ "$status" -eq 0 ] || [ ! -s "$work/cwd/good.wav" ]; then
    echo "FAIL mixed songs: status $status, good.wav $(stat -c %s "$work/cwd/good.wav" 2>/dev/null || echo missing)"
    failures=$((failures + 1))
  else
    echo "ok   mixed songs"
  fi
fi
exit $((failures > 0))
