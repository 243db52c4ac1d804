#!/usr/bin/env bash
# A 2 MiB image (variant 15) written into a simulated receiver on COM1: its flash ends up
# equal to the file's data, and the dialog ends with the notice and a "Close" button. Its
# Cancel button has no focus to take Enter: Enter mid-transfer does nothing.
source "$(dirname "$0")/../lib.sh"

UPGRADE="Upgrade Receiver Software"
rom="$work/新 固件.bin"
{ printf 'VESKER_SZ_Rom_T_SST2'; head -c 2097152 /dev/urandom; } >"$rom"
start_sim 1 --unpaced --variant 15 --write-flash "$work/flash.bin"
start_program
start_upgrade "$rom"
drv wait "$UPGRADE" >/dev/null || fail "no upgrade dialog"
expect_eq "first focus" "$(drv focus "$UPGRADE")" "-1"
drv key "$UPGRADE" enter
await_upgrade
expect_eq "notice shown" "$(drv shown "$UPGRADE" 1093)" "1"
expect_eq "notice" "$(drv text "$UPGRADE" 1093)" \
  "Dont' power off during Saving Data.... The Receiver will Auto Reboot！"
expect_eq "status" "$(drv text "$UPGRADE" 1087)" "512/512 blocks"
click "$UPGRADE" 2
drv gone "$UPGRADE" 5000 || fail "Close did not close"
click "$TITLE" 2
wait_program_end
stop_sim
tail -c +21 "$rom" | cmp -s - "$work/flash.bin" || fail "the receiver's flash differs from the file"
expect_eq "frames" "$(sim_frames | sed 's/BLOCK [0-9]*/BLOCK/' | uniq -c | tr -s ' ' | tr '\n' ',')" \
  " 1 CMD_UPGRADE_START, 512 BLOCK, 1 CMD_STOP,"
finish
