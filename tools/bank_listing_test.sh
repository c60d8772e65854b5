#!/usr/bin/env bash
# --list-presets against the preset headers of the SF2 file read independently,
# and --bank-info's counts:
#   bank_listing_test.sh kelvane-render
# Exits 77 (skipped) when the banks are not installed.
set -euo pipefail
render=$1
small=/usr/share/sounds/sf2/TimGM6mb.sf2
large=/usr/share/sounds/sf2/FluidR3_GM.sf2
for bank in "$small" "$large"; do
  [ -f "$bank" ] || { echo "SKIPPED: $bank is missing"; exit 77; }
done

# Every preset header but the terminal one, as "[BBBB:PP] name" with the SF2
# bank times 128 (so bank 128, percussion, is 4000), sorted.
expected() {
  /usr/bin/python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
def chunks(body):
    i = 0
    while i + 8 <= len(body):
        cid, size = body[i:i + 4], struct.unpack('<I', body[i + 4:i + 8])[0]
        yield cid, body[i + 8:i + 8 + size]
        i += 8 + size + (size & 1)
for cid, body in chunks(data[12:]):
    if cid == b'LIST' and body[:4] == b'pdta':
        for sub, records in chunks(body[4:]):
            if sub == b'phdr':
                entries = set()
                for k in range(len(records) // 38 - 1):
                    name, program, bank = struct.unpack('<20sHH', records[k * 38:k * 38 + 24])
                    name = name.split(b'\0')[0].decode('latin-1')
                    entries.add((bank * 128, program, name))
                for bank, program, name in sorted(entries):
                    print(f'[{bank:04X}:{program:02X}] {name}')
PY
}

failures=0
for bank in "$small" "$large"; do
  if ! diff <(expected "$bank") <("$render" --list-presets -b "$bank") >/tmp/bank_listing_diff.$$; then
    echo "FAIL --list-presets of $bank differs from its preset headers:"
    head -20 /tmp/bank_listing_diff.$$
    failures=$((failures + 1))
  else
    echo "ok   --list-presets of $bank: $("$render" --list-presets -b "$bank" | wc -l) presets"
  fi
  rm -f /tmp/bank_listing_diff.$$
done

# Percussion kits appear in the 14-bit bank 16384.
if ! "$render" --list-presets -b "$large" | grep -q '^\[4000:00\] '; then
  echo "FAIL no [4000:00] percussion entry in $large"
  failures=$((failures + 1))
fi

# Two banks: a block per bank, each under its file name.
both=$("$render" --list-presets -b "$small" -b "$large")
if [ "$(grep -c -x -e "$small:" -e "$large:" <<<"$both")" -ne 2 ]; then
  echo "FAIL two banks are not listed under their file names"
  failures=$((failures + 1))
fi

info=$("$render" --bank-info -b "$small")
echo "$info"
presets=$(sed -n 's/^  presets *\([0-9]*\) .*/\1/p' <<<"$info")
if [ "$presets" != "$(expected "$small" | wc -l)" ] || ! grep -q '^  format *SF2$' <<<"$info" ||
  ! grep -q '^  samples *[1-9]' <<<"$info"; then
  echo "FAIL --bank-info of $small"
  failures=$((failures + 1))
fi
exit $((failures > 0))
