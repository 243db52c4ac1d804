#!/usr/bin/env bash
# Cycles of read, upgrade with a new image, and read again through VeskerLink.exe and one
# unpaced receiver-sim, every file and the flash compared byte for byte. VL_SOAK_CYCLES sets
# the number of cycles (1 in CI; tools/soak N runs N).
source "$(dirname "$0")/../lib.sh"

cycles="${VL_SOAK_CYCLES:-1}"
start_sim 1 --unpaced --write-flash "$work/flash.bin"
start_program

read_into() {
  start_read "$1"
  drv gone "Read Receiver Software" 60000 || fail "a read did not end"
}

previous=""
for cycle in $(seq "$cycles"); do
  read_into "$work/before-$cycle.bin"
  if [ -n "$previous" ]; then
    cmp -s "$work/before-$cycle.bin" "$previous" || fail "cycle $cycle: the read differs from the last image"
  fi
  image="$work/image-$cycle.bin"
  { printf 'VESKER_SZ_RomFtaAMD1'; head -c 1048576 /dev/urandom; } >"$image"
  start_upgrade "$image"
  finish_upgrade
  read_into "$work/after-$cycle.bin"
  cmp -s "$work/after-$cycle.bin" "$image" || fail "cycle $cycle: the read after the upgrade differs from the image"
  drv nomessage 300 || fail "cycle $cycle: a message"
  previous="$image"
  rm -f "$work/before-$cycle.bin" "$work/after-$((cycle - 1)).bin"
  echo "soak: cycle $cycle of $cycles"
done
click "$TITLE" 2
wait_program_end
stop_sim
tail -c +21 "$previous" | cmp -s - "$work/flash.bin" || fail "the receiver's flash differs from the last image"
finish
