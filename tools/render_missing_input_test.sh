#!/usr/bin/env bash
# A missing song fails with a non-zero status and a message naming the file.
set -uo pipefail
render=$1
work=$2
mkdir -p "$work"
missing=$work/no_such_song.mid
rm -f "$missing"
message=$("$render" -q -o "$work/none.wav" "$missing" 2>&1)
status=$?
if [ "$status" -eq 0 ]; then
  echo "exit status 0 for a missing input"
  exit 1
fi
if [[ "$message" != *"$missing"* ]]; then
  echo "message does not name the file: $message"
  exit 1
fi
echo "ok: $message"
