#!/usr/bin/env bash
# A bank and a song in a directory with a non-ASCII name: kelvane-render and
# kelvane-bank take the names from the command line, the plug-in host hands the
# bank's UTF-8 path to the plug-in in a state chunk, keeps it from being opened
# for writing while loaded, and renders what the ASCII-named bank renders.
#   utf8_paths_test.sh WINE RENDER BANK-TOOL HOST DLL BANK SONG SECONDS REFERENCE COMPARE WORK-DIR
set -uo pipefail
wine=$1 render=$2 banktool=$3 host=$4 dll=$5 bank=$6 song=$7 seconds=$8 reference=$9 compare=${10} work=${11}
# Wine reads the Unix command line in the locale's character set.
export LC_ALL=C.UTF-8
dir='Klänge/日本'
rm -rf "$work"
mkdir -p "$work/$dir"
# A copy, not a link: the write test must meet the plug-in's lock, not a read-only system file.
cp "$bank" "$work/$dir/Bänk ♪.sf2"
cp "$song" "$work/$dir/Lied ü.mid"
cd "$work" || exit 1
fail() { echo "FAILED: $*"; exit 1; }

output=$("$wine" "$render" -b "$dir/Bänk ♪.sf2" --length 1 -o "$dir/Lied ü.wav" "$dir/Lied ü.mid" 2>&1)
echo "$output"
[[ "$output" == *"Lied ü.mid -> $dir/Lied ü.wav: 0:01.000"* ]] || fail "kelvane-render"
[ -s "$dir/Lied ü.wav" ] || fail "no output file"

output=$("$wine" "$banktool" list "$dir/Bänk ♪.sf2" 2>&1)
echo "$output" | head -2
[[ "$output" == *"[0000:00] "* ]] || fail "kelvane-bank list"

"$wine" "$host" "$dll" "$dir/Bänk ♪.sf2" "$dir/Lied ü.mid" "$dir/host.f32" "$seconds" locked || fail "plug-in host"
python3 "$compare" "$reference" "$dir/host.f32" || fail "the render differs from the ASCII-named bank's"
