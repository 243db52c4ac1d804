#!/usr/bin/env bash
# A dialog handler that throws, on the real dialog manager: its dialog ends with Cancel and
# the program goes on, instead of the exception ending the process.
source "$(dirname "$0")/../lib.sh"

out=$(wine "$VL_BUILD/tests/vl-throw-check.exe" </dev/null 2>/dev/null | tr -d '\r')
expect_eq "results of a throw at start and on a tick" "$out" "2 2"
finish
