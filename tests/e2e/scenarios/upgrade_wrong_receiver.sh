#!/usr/bin/env bash
# A file for variant 0 offered to a receiver of variant 4: the version message names both,
# and CMD_STOP goes out before any block.
source "$(dirname "$0")/../lib.sh"

OPEN="open rom(*.bin) file"
rom="$work/rom.bin"
{ printf 'VESKER_SZ_RomFtaAMD1'; head -c 1048576 /dev/zero; } >"$rom"
start_sim 1 --unpaced --variant 4
start_program
click "$TITLE" 1107
drv wait "$OPEN" >/dev/null
drv filename "$OPEN" "Z:${rom//\//\\}"
expected=$(printf '%s\n%s\n\n%s|%s' "Vesker  Link 1.0|software version incorrect！" \
  "pls send below information to your provider！" '"error version <Fta 29 1> to <CI 29 1>"' \
  "Upgrade Receiver Software")
expect_eq "message" "$(drv message)" "$expected"
drv key "$TITLE" esc
wait_program_end
stop_sim
expect_eq "frames" "$(sim_frames | tr '\n' ' ')" "CMD_UPGRADE_START CMD_STOP "
finish
