#!/usr/bin/env bash
# The DirectMusic registry rule through the real registry calls under Wine: a
# GMFilePath value written with a mixed-case %SystemRoot% placeholder names
# the default bank when no gm.dls or gm.sf2 lies in the current or the
# program's directory.
#   registry_bank_test.sh WINE kelvane-render.exe BANK WORK-DIR   (WINEPREFIX set)
set -uo pipefail
wine=$1 render=$2 bank=$3 work=$4
rm -rf "$work"
mkdir -p "$work" "$WINEPREFIX/drive_c/windows/kelvane-test"
ln -sf "$bank" "$WINEPREFIX/drive_c/windows/kelvane-test/gm.sf2"
key='HKLM\Software\Microsoft\DirectMusic'
# Wine's own value is put back afterwards.
"$wine" reg add "$key" /v GMFilePath /t REG_EXPAND_SZ /d '%SystemRoot%\kelvane-test\gm.sf2' /f >/dev/null || exit 1
output=$(cd "$work" && "$wine" "$render" --bank-info 2>&1)
status=$?
"$wine" reg add "$key" /v GMFilePath /t REG_SZ /d 'C:\windows\system32\drivers\gm.dls' /f >/dev/null
echo "$output" | head -3
echo "status $status"
[ "$status" -eq 0 ] && [[ "$output" == *'C:\windows\kelvane-test\gm.sf2'* ]]
