#!/usr/bin/env bash
# The receiver's line goes dead in the middle of a read: the program gives up with
# "no answer！" and leaves no file; once the receiver is back, a new read completes.
source "$(dirname "$0")/../lib.sh"

READ="Read Receiver Software"
start_sim 1 --unpaced --hang-up-after 3 --return-after 1500 --write-flash "$work/flash.bin"
start_program
start_read "$work/first.bin"
expect_eq "message" "$(drv message 15000)" "Vesker  Link 1.0|no answer！|$READ"
drv gone "$READ" 5000 || fail "the read dialog stayed"
[ ! -e "$work/first.bin" ] || fail "a file was left after the hang-up"
sleep 2
start_read "$work/second.bin"
drv gone "$READ" 60000 || fail "the second read did not end"
drv nomessage 500 || fail "a message after the second read"
click "$TITLE" 2
wait_program_end
stop_sim
expect_eq "second file size" "$(stat -c %s "$work/second.bin" 2>/dev/null)" "1048596"
tail -c +21 "$work/second.bin" | cmp -s - "$work/flash.bin" || fail "the second read differs from the flash"
finish
