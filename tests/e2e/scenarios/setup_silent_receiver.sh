#!/usr/bin/env bash
# A receiver that never answers: "no answer！" after about 2 s, CMD_STOP after CMD_CONNECT.
source "$(dirname "$0")/../lib.sh"

SETUP="Communication Setup"
start_sim 2 --silent
printf '\x01\x00\x00\x00' >"$work/Pelto.cfg"
start_program
click "$TITLE" 1106
drv wait "$SETUP" >/dev/null || fail "no Communication Setup dialog"
click "$SETUP" 1
started=$(date +%s%N)
expect_eq "message" "$(drv message)" "Vesker  Link 1.0|no answer！|Connect to the receiver"
waited=$(( ($(date +%s%N) - started) / 1000000 ))
[ "$waited" -ge 1500 ] || fail "gave up after $waited ms, before the 2 s wait"
drv nomessage 1000 || fail "a second message after the failure"
drv gone "$SETUP" 5000 || fail "the setup dialog stayed open"
drv key "$TITLE" esc
wait_program_end
expect_eq "frames" "$(sim_frames | tr '\n' ' ')" "CMD_CONNECT CMD_STOP "
expect_file_hex "$work/Pelto.cfg" "01000000"
finish
