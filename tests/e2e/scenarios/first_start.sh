#!/usr/bin/env bash
# Started where no configuration file exists, closed with Esc: COM1 is kept as 00 00 00 00.
source "$(dirname "$0")/../lib.sh"

start_program
expect_eq "window caption" "$(drv wait "$TITLE" && echo found)" "found"
expect_eq "group box" "$(drv text "$TITLE" 1111)" "Vesker  Link 1.0 Control Panel"
drv key "$TITLE" esc
wait_program_end
expect_file_hex "$work/Pelto.cfg" "00000000"
finish
