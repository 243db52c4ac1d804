#!/usr/bin/env bash
# A port index of 9 in Pelto.cfg is COM10, which Windows opens only by its device name
# (\\.\COM10): the program reads the receiver there, and vesker-link.exe, started in the
# same folder, connects there too.
source "$(dirname "$0")/../lib.sh"

printf '\x09\x00\x00\x00' >"$work/Pelto.cfg"
start_sim 10 --unpaced --write-flash "$work/flash.bin"
start_program
start_read "$work/rom.bin"
drv gone "Read Receiver Software" 60000 || fail "the read did not end"
drv nomessage 500 || fail "a message after the read"
click "$TITLE" 2
wait_program_end
expect_file_hex "$work/Pelto.cfg" "09000000"
out=$(cd "$work" && wine "$VL_BUILD/vesker-link.exe" connect </dev/null 2>"$work/err")
expect_eq "vesker-link on the kept port" "$(tr -d '\r' <<<"$out")" "connect ok!"
stop_sim
tail -c +21 "$work/rom.bin" 2>/dev/null | cmp -s - "$work/flash.bin" ||
  fail "the file is not the receiver's flash"
finish
