#!/usr/bin/env bash
# A receiver on COM2: choosing "Com 2" and OK shows "connect ok!", and the choice is kept.
source "$(dirname "$0")/../lib.sh"

SETUP="Communication Setup"
start_sim 2
start_program
click "$TITLE" 1106
drv wait "$SETUP" >/dev/null || fail "no Communication Setup dialog"
click "$SETUP" 1071
click "$SETUP" 1
expect_eq "message" "$(drv message)" "Vesker  Link 1.0|connect ok!|$SETUP"
drv gone "$SETUP" 5000 || fail "the setup dialog stayed open"
click "$TITLE" 2
wait_program_end
expect_file_hex "$work/Pelto.cfg" "01000000"
expect_eq "frames" "$(sim_frames | tr '\n' ' ')" "CMD_CONNECT "
finish
