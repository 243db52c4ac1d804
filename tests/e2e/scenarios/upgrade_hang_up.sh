#!/usr/bin/env bash
# The receiver's line goes dead in the middle of an upgrade: the program gives up with
# "no answer1！"; once the receiver is back, the upgrade runs through and its flash is the
# file's data.
source "$(dirname "$0")/../lib.sh"

UPGRADE="Upgrade Receiver Software"
rom="$work/rom.bin"
{ printf 'VESKER_SZ_RomFtaAMD1'; head -c 1048576 /dev/urandom; } >"$rom"
start_sim 1 --unpaced --hang-up-after 5 --return-after 1500 --write-flash "$work/flash.bin"
start_program
start_upgrade "$rom"
drv wait "$UPGRADE" >/dev/null || fail "no upgrade dialog"
expect_eq "message" "$(drv message 15000)" "Vesker  Link 1.0|no answer1！|$UPGRADE"
drv gone "$UPGRADE" 5000 || fail "the upgrade dialog stayed"
sleep 2
start_upgrade "$rom"
finish_upgrade
click "$TITLE" 2
wait_program_end
stop_sim
tail -c +21 "$rom" | cmp -s - "$work/flash.bin" || fail "the receiver's flash differs from the file"
finish
