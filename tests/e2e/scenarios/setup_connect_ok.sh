#!/usr/bin/env bash
# A receiver on COM2: choosing "Com 2" and OK shows "connect ok!", and the choice is kept.
source "$(dirname "$0")/../lib.sh"

start_sim 2
start_program
expect_eq "message" "$(connect_via_setup 2)" "Vesker  Link 1.0|connect ok!|Communication Setup"
click "$TITLE" 2
wait_program_end
expect_file_hex "$work/Pelto.cfg" "01000000"
expect_eq "frames" "$(sim_frames | tr '\n' ' ')" "CMD_CONNECT "
finish
