#!/usr/bin/env bash
# A whole read from a 2 MiB receiver (variant 9) into a folder with a Chinese name: the file
# is the tag and the receiver's flash, byte for byte.
source "$(dirname "$0")/../lib.sh"

READ="Read Receiver Software"
folder="$work/固件 备份"
mkdir -p "$folder"
start_sim 1 --unpaced --variant 9 --seed 42 --write-flash "$work/flash.bin"
start_program
start_read "$folder/rom.bin"
drv gone "$READ" 90000 || fail "the read did not end"
drv nomessage 500 || fail "a message after the read"
click "$TITLE" 2
wait_program_end
stop_sim
rom="$folder/rom.bin"
expect_eq "file size" "$(stat -c %s "$rom" 2>/dev/null)" "2097172"
expect_eq "tag" "$(head -c 20 "$rom" 2>/dev/null)" "VESKER_SZ_RomHCIAMD2"
tail -c +21 "$rom" | cmp -s - "$work/flash.bin" || fail "the data part differs from the flash"
expect_eq "frames" "$(sim_frames | sort | uniq -c | tr -s ' ' | tr '\n' ',')" \
  " 1 CMD_READ_DONE, 1 CMD_READ_START, 512 VARIANT_ECHO 10,"
finish
