#!/usr/bin/env bash
# A receiver that answers CMD_READ_DONE with its acknowledgement costs the read nothing: the
# file equals the flash and the last block is answered by its echo, then CMD_READ_DONE.
# A name typed without an extension ("myrom") is saved with the filter's ".bin", and the
# progress text sits on the group box without a border.
source "$(dirname "$0")/../lib.sh"

READ="Read Receiver Software"
start_sim 1 --unpaced --answer-done --seed 5 --write-flash "$work/flash.bin"
start_program
start_read "$work/myrom"
expect_eq "border of the progress text" "$(drv border "$READ" 1087)" "0"
drv gone "$READ" 60000 || fail "the read did not end"
drv nomessage 500 || fail "a message after the read"
click "$TITLE" 2
wait_program_end
stop_sim
[ -e "$work/myrom" ] && fail "saved without the extension"
tail -c +21 "$work/myrom.bin" 2>/dev/null | cmp -s - "$work/flash.bin" ||
  fail "myrom.bin is not the receiver's flash"
expect_eq "frames after the last block" "$(sim_frames | tail -3 | tr '\n' ',')" \
  "VARIANT_ECHO 1,VARIANT_ECHO 1,CMD_READ_DONE,"
finish
