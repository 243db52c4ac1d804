#!/usr/bin/env bash
# A port index of 9 in Pelto.cfg is COM10, which Windows opens only by its device name
# (\\.\COM10): the program's read exchanges blocks with the receiver there (a few, then
# Cancel), and vesker-link.exe, started in the same folder, connects there too.
source "$(dirname "$0")/../lib.sh"

READ="Read Receiver Software"
printf '\x09\x00\x00\x00' >"$work/Pelto.cfg"
start_sim 10 --unpaced
start_program
start_read "$work/rom.bin"
for _ in $(seq 200); do
  [ "$(sim_frames | grep -c VARIANT_ECHO)" -ge 8 ] && break
  sleep 0.05
done
expect_eq "frames on COM10" "$(sim_frames | head -2 | tr '\n' ' ')" \
  "CMD_READ_START VARIANT_ECHO 1 "
drv key "$READ" esc >/dev/null
drv gone "$READ" 5000 || fail "Cancel did not close the read"
click "$TITLE" 2
wait_program_end
expect_file_hex "$work/Pelto.cfg" "09000000"
out=$(cd "$work" && wine "$VL_BUILD/vesker-link.exe" connect </dev/null 2>"$work/err")
expect_eq "vesker-link on the kept port" "$(tr -d '\r' <<<"$out")" "connect ok!"
stop_sim
finish
