#!/usr/bin/env bash
# Started where no configuration file exists, keys on the real dialog manager: Enter on the
# fresh Control Panel opens nothing (no button has the focus to take it, and Tab gives none
# of them the focus); Communication Setup starts on the checked "Com 1", Esc leaves it, Enter
# is its OK and tests the connection; Esc ends the program, which keeps COM1 as 00 00 00 00.
source "$(dirname "$0")/../lib.sh"

SETUP="Communication Setup"
start_sim 1 --unpaced
start_program
expect_eq "group box" "$(drv text "$TITLE" 1111)" "Vesker  Link 1.0 Control Panel"
expect_eq "first focus" "$(drv focus "$TITLE")" "-1"
drv key "$TITLE" enter
drv key "$TITLE" tab
expect_eq "focus after Tab" "$(drv focus "$TITLE")" "-1"
drv key "$TITLE" enter
drv nomessage 1500 || fail "Enter showed a message"
drv absent "$SETUP" 0 || fail "Enter opened a dialog"
expect_eq "panel after Enter" "$(drv visible "$TITLE")" "1"

click "$TITLE" 1106
drv wait "$SETUP" >/dev/null || fail "no $SETUP dialog"
expect_eq "setup's first focus" "$(drv focus "$SETUP")" "1070"
drv key "$SETUP" esc
drv gone "$SETUP" 5000 || fail "Esc did not close $SETUP"
drv nomessage 500 || fail "Esc showed a message"
click "$TITLE" 1106
drv wait "$SETUP" >/dev/null || fail "no $SETUP dialog"
drv key "$SETUP" enter
expect_eq "Enter is OK" "$(drv message)" "Vesker  Link 1.0|connect ok!|$SETUP"
drv gone "$SETUP" 5000 || fail "the setup dialog stayed open"

drv key "$TITLE" esc
wait_program_end
stop_sim
expect_file_hex "$work/Pelto.cfg" "00000000"
expect_eq "frames" "$(sim_frames | tr '\n' ' ')" "CMD_CONNECT "
finish
