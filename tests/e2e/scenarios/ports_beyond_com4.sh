#!/usr/bin/env bash
# Ports beyond COM4, as Windows numbers USB adapters (COM7, COM12), each with a receiver.
# Communication Setup lists them, opens with the kept COM12 chosen and keeps it through OK;
# a radio button clears the list and the list the radio buttons; COM7 chosen from the list
# answers "connect ok!" and is kept as 06 00 00 00. The remote panel then sends its keys on
# COM7 with no radio button chosen, and a read there gives the receiver's flash exactly.
source "$(dirname "$0")/../lib.sh"

SETUP="Communication Setup"
LIST=1072
OK_TEXT="Vesker  Link 1.0|connect ok!|$SETUP"
SIM_LOG="$work/com12.log" start_sim 12
start_sim 7 --unpaced --variant 0 --seed 7 --write-flash "$work/flash.bin"
printf '\x0b\x00\x00\x00' >"$work/Pelto.cfg"
start_program

# radios TITLE: the four radio buttons' states, "0100" for Com 2.
radios() {
  local id
  for id in 1070 1071 1074 1075; do drv checked "$1" "$id"; done | tr -d '\n'
}
open_setup() {
  click "$TITLE" 1106
  drv wait "$SETUP" >/dev/null || fail "no $SETUP dialog"
}

open_setup
items=$(drv items "$SETUP" $LIST)
{ grep -qx COM7 <<<"$items" && grep -qx COM12 <<<"$items"; } || fail "the list holds: $items"
expect_eq "the list takes a choice" "$(drv enabled "$SETUP" $LIST)" "1"
expect_eq "the kept port" "$(drv selected "$SETUP" $LIST)" "COM12"
expect_eq "radio buttons with COM12" "$(radios "$SETUP")" "0000"
click "$SETUP" 1
expect_eq "OK on COM12" "$(drv message)" "$OK_TEXT"
drv gone "$SETUP" 5000 || fail "the setup dialog stayed open"

open_setup
expect_eq "kept through OK" "$(drv selected "$SETUP" $LIST)" "COM12"
click "$SETUP" 1071
expect_eq "a radio button clears the list" "$(drv selected "$SETUP" $LIST)" "none"
choose "$SETUP" $LIST COM7
expect_eq "the list's choice" "$(drv selected "$SETUP" $LIST)" "COM7"
expect_eq "the list clears the radio buttons" "$(radios "$SETUP")" "0000"
click "$SETUP" 1
expect_eq "OK on COM7" "$(drv message)" "$OK_TEXT"
drv gone "$SETUP" 5000 || fail "the setup dialog stayed open"

click "$TITLE" 1078
drv waitfor "$TITLE" 1076 >/dev/null || fail "no remote panel"
expect_eq "the panel's radio buttons" "$(radios "$TITLE")" "0000"
click "$TITLE" 1089  # MUTE
click "$TITLE" 1091  # OK
click "$TITLE" 2
drv waitfor "$TITLE" 1078 >/dev/null || fail "no Control Panel after the remote panel"

start_read "$work/rom.bin"
drv gone "Read Receiver Software" 90000 || fail "the read did not end"
drv nomessage 500 || fail "a message after the read"
click "$TITLE" 2
wait_program_end
stop_sim
expect_file_hex "$work/Pelto.cfg" "06000000"
expect_eq "file size" "$(stat -c %s "$work/rom.bin" 2>/dev/null)" "1048596"
expect_eq "tag" "$(head -c 20 "$work/rom.bin" 2>/dev/null)" "VESKER_SZ_RomFtaAMD1"
tail -c +21 "$work/rom.bin" | cmp -s - "$work/flash.bin" || fail "the data part differs from the flash"
expect_eq "frames on COM12" "$(sim_frames "$work/com12.log" | tr '\n' ' ')" "CMD_CONNECT "
expect_eq "frames on COM7" "$(sim_frames | uniq -c | tr -s ' ' | tr '\n' ',')" \
  " 1 CMD_CONNECT, 1 KEY 0x00, 1 KEY 0x06, 1 CMD_READ_START, 256 VARIANT_ECHO 1, 1 CMD_READ_DONE,"
finish
