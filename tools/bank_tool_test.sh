#!/usr/bin/env bash
# kelvane-bank: usage and file errors with their exit codes, then a real bank
# converted to SFX that lists the same presets as the original:
#   bank_tool_test.sh kelvane-bank kelvane-render work-dir
set -uo pipefail
tool=$1
render=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
printf 'this is text, not a bank\n' >"$work/not_a_bank.sf2"
failures=0

# expect NAME STATUS TEXT -- COMMAND...: that exit status and TEXT in stderr.
expect() {
  local name=$1 status=$2 text=$3
  shift 4
  local message
  message=$("$@" 2>&1 >/dev/null)
  local got=$?
  if [ "$got" -ne "$status" ] || [[ "$message" != *"$text"* ]]; then
    echo "FAIL $name: exit $got (want $status), message: $message"
    failures=$((failures + 1))
  fi
}
expect "no command" 2 "no command given" -- "$tool"
expect "unknown command" 2 "unknown command 'dump'" -- "$tool" dump x.sf2
expect "no bank" 2 "no bank file given" -- "$tool" info
expect "convert without -o" 2 "-o OUT.sfx" -- "$tool" convert "$work/not_a_bank.sf2"
expect "-o outside convert" 2 "only for convert" -- "$tool" list a.sf2 -o b.sfx
expect "missing bank" 1 "$work/missing.sf2: no such file" -- "$tool" info "$work/missing.sf2"
expect "directory" 1 "is a directory" -- "$tool" list "$work"
expect "not a bank" 1 "not_a_bank.sf2: not a sound bank" -- "$tool" convert "$work/not_a_bank.sf2" -o "$work/out.sfx"
[ -e "$work/out.sfx" ] && { echo "FAIL: a failed convert left an output file"; failures=$((failures + 1)); }
expect "unwritable output" 1 "cannot write" -- "$tool" convert /usr/share/sounds/sf2/TimGM6mb.sf2 -o "$work/no/such/dir/out.sfx"

bank=/usr/share/sounds/sf2/TimGM6mb.sf2
if [ ! -f "$bank" ]; then
  [ "$failures" -eq 0 ] || exit 1
  echo "SKIPPED: $bank is missing"
  exit 77
fi
"$tool" convert "$bank" -o "$work/tim.sfx" || { echo "FAIL: convert"; exit 1; }
"$tool" list "$bank" >"$work/sf2.txt" && "$tool" list "$work/tim.sfx" >"$work/sfx.txt" || failures=$((failures + 1))
"$render" --list-presets -b "$bank" >"$work/render.txt" || failures=$((failures + 1))
# An SFX bank names its entries by their leaf layers, so only the numbers must match.
cmp -s <(cut -c1-9 "$work/sf2.txt") <(cut -c1-9 "$work/sfx.txt") ||
  { echo "FAIL: the SFX lists other presets"; diff "$work/sf2.txt" "$work/sfx.txt" | head; failures=$((failures + 1)); }
cmp -s "$work/sf2.txt" "$work/render.txt" || { echo "FAIL: list differs from kelvane-render --list-presets"; failures=$((failures + 1)); }
[ "$(wc -l <"$work/sf2.txt")" -gt 100 ] || { echo "FAIL: too few presets listed"; failures=$((failures + 1)); }
info=$("$tool" info "$work/tim.sfx")
for text in "format           SFX" "samples" "layers" "sample data"; do
  [[ "$info" == *"$text"* ]] || { echo "FAIL: info lacks '$text':"; echo "$info"; failures=$((failures + 1)); }
done
# Two banks into one: the second's presets follow the first's.
"$tool" convert "$bank" "$work/tim.sfx" -o "$work/both.sfx" || { echo "FAIL: convert of two banks"; failures=$((failures + 1)); }
[ "$failures" -eq 0 ] && echo "all kelvane-bank checks passed"
[ "$failures" -eq 0 ]
