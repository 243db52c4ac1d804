#!/usr/bin/env bash
# A read into a file that another program holds open, sharing nothing: the whole read runs and
# ends with CMD_READ_DONE, then "create file error!"; the held file keeps its content and no
# temporary file is left beside it.
source "$(dirname "$0")/../lib.sh"

READ="Read Receiver Software"
SAVE="save as rom(*.bin) file"
target="$work/rom.bin"
printf 'the older image' >"$target"
start_sim 1 --unpaced
start_program
wine "$VL_DRIVER" hold "Z:${target//\//\\}" 120000 </dev/null >"$work/hold.out" 2>&1 &
holder=$!
for _ in $(seq 400); do grep -q holding "$work/hold.out" 2>/dev/null && break; sleep 0.05; done
grep -q holding "$work/hold.out" || fail "the file is not held: $(cat "$work/hold.out")"
click "$TITLE" 1108
drv wait "$SAVE" >/dev/null
drv filename "$SAVE" "Z:${target//\//\\}"
expect_eq "replace?" "$(drv message | head -1)" "$SAVE|File already exists."
expect_eq "message" "$(drv message 60000)" "Vesker  Link 1.0|create file error!|$READ"
drv gone "$READ" 5000 || fail "the read dialog stayed open"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
click "$TITLE" 2
wait_program_end
stop_sim
expect_eq "held file" "$(cat "$target")" "the older image"
expect_eq "files" "$(ls "$work" | grep -vx -e hold.out -e program.log -e Pelto.cfg -e 'sim\..*')" \
  "rom.bin"
expect_eq "frames" "$(sim_frames | sort | uniq -c | tr -s ' ' | tr '\n' ',')" \
  " 1 CMD_READ_DONE, 1 CMD_READ_START, 256 VARIANT_ECHO 1,"
finish
