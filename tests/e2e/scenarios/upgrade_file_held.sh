#!/usr/bin/env bash
# A ROM file that another program holds open is not read: the message names its full path,
# and nothing reaches the receiver.
source "$(dirname "$0")/../lib.sh"

OPEN="open rom(*.bin) file"
rom="$work/rom.bin"
{ printf 'VESKER_SZ_RomFtaAMD1'; head -c 1048576 /dev/zero; } >"$rom"
winpath="Z:${rom//\//\\}"
start_sim 1 --unpaced
start_program
wine "$VL_DRIVER" hold "$winpath" 8000 </dev/null >"$work/hold.out" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q holding "$work/hold.out" && break; sleep 0.05; done
click "$TITLE" 1107
drv wait "$OPEN" >/dev/null
drv filename "$OPEN" "$winpath"
expect_eq "message" "$(drv message)" \
  "Vesker  Link 1.0|Open file<$winpath> error！|Upgrade Receiver Software"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
drv key "$TITLE" esc
wait_program_end
stop_sim
expect_eq "frames" "$(sim_frames | tr '\n' ' ')" ""
finish
