#!/usr/bin/env bash
# A crash inside the host must end in a failing status and a message, even
# under Wine, which may report status 0 for a crashed process:
#   expect_crash_failure.sh [EMULATOR] HOST
output=$("$@" --crash 2>&1)
status=$?
echo "$output"
echo "status $status"
[ "$status" -ne 0 ] && [[ "$output" == *"unhandled exception"* ]]
