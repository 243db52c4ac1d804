#!/usr/bin/env bash
# No device behind COM3: "open port3 error!", and the choice of COM3 is still kept.
source "$(dirname "$0")/../lib.sh"

SETUP="Communication Setup"
start_program
click "$TITLE" 1106
drv wait "$SETUP" >/dev/null || fail "no Communication Setup dialog"
click "$SETUP" 1074
click "$SETUP" 1
expect_eq "message" "$(drv message)" "Vesker  Link 1.0|open port3 error!|Connect to the receiver"
drv nomessage 1000 || fail "a second message after the failure"
drv key "$TITLE" esc
wait_program_end
expect_file_hex "$work/Pelto.cfg" "02000000"
finish
