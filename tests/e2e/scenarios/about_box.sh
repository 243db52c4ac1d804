#!/usr/bin/env bash
# The About box over the Control Panel: its texts, and the panel still there after it.
source "$(dirname "$0")/../lib.sh"

ABOUT="About Vesker  Link 1.0"
start_program
click "$TITLE" 3
drv wait "$ABOUT" >/dev/null || fail "no About box"
expect_eq "name line" "$(drv text "$ABOUT" 1085)" "Vesker  Link 1.0    version 1.0"
date_line=$(drv text "$ABOUT" 1086)
[[ "$date_line" == *2004-12-10* ]] || fail "date line '$date_line' lacks 2004-12-10"
click "$ABOUT" 1
drv gone "$ABOUT" 5000 || fail "OK did not close the About box"
expect_eq "panel after About" "$(drv visible "$TITLE")" "1"
drv close "$TITLE"
wait_program_end
expect_file_hex "$work/Pelto.cfg" "00000000"
finish
