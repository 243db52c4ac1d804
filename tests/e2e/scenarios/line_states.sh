#!/usr/bin/env bash
# Real lines: COM1's tty in the state a newly plugged adapter comes up in, or as another
# program left it (then also delivered in 62-byte packets after 16 ms, as a USB adapter
# does). A 1 MiB read and a 1 MiB upgrade of an Fta image (its replies include 0x11 0x11),
# both full of XON, XOFF, CR and the other bytes a tty treats specially, must be byte for
# byte through the Win32 port on each state (VeskerLink.exe's dialogs on a new line,
# vesker-link.exe on the left one) and through vesker-link on both. On a new line the
# connection test passes and the keys "&7" (0x11) and "5" (0x13) arrive exactly.
source "$(dirname "$0")/../lib.sh"

READ="Read Receiver Software"
UPGRADE="Upgrade Receiver Software"
native_cli="$(dirname "$VL_SIM")/vesker-link"
rom="$work/control-rich.bin"
python3 - "$rom" <<'PY'
import random, sys
special = bytes([0x11, 0x13, 0x0D, 0x0A, 0x03, 0x04, 0x1A, 0x7F, 0xFF])
r = random.Random(7)
data = bytes(r.choice(special) if r.random() < 0.34 else r.randrange(256) for _ in range(1 << 20))
open(sys.argv[1], "wb").write(b"VESKER_SZ_RomFtaAMD1" + data)
PY

# The settings of COM1's tty, for the log.
line_now() { stty -a -F "$(readlink "$VL_PORTS/com1")" 2>&1 | tr '\n' ' ' | tr -s ' '; }
cli_wine() { wine "$VL_BUILD/vesker-link.exe" "$@" </dev/null; }

# run PROGRAM STATE KIND: one transfer on a receiver whose line starts in STATE.
run() {
  local program=$1 state=$2 kind=$3 what="$1 $3 on a $2 line" out="$work/read-$1-$2.bin"
  local line=(--line "$state")
  [ "$state" = left ] && line+=(--packet 62 --latency 16)
  start_sim 1 --unpaced "${line[@]}" --control-bytes --seed 11 --write-flash "$work/flash.bin"
  echo "$what, before open: $(line_now)"
  case "$program $kind" in
    "exe read")
      start_read "$out"
      sleep 1
      echo "$what, during: $(line_now)"
      drv gone "$READ" 90000 || fail "$what did not end"
      drv nomessage 500 || fail "$what ended with a message"
      ;;
    "exe upgrade")
      start_upgrade "$rom"
      drv wait "$UPGRADE" >/dev/null
      sleep 1
      echo "$what, during: $(line_now)"
      finish_upgrade
      ;;
    *)
      local cli=("$native_cli" -p "$VL_PORTS/com1")
      [ "$program" = cli.exe ] && cli=(cli_wine -p COM1)
      local args=(--fast -q --once read "$out")
      [ "$kind" = upgrade ] && args=(--fast -q upgrade --no-backup --no-verify "$rom")
      "${cli[@]}" "${args[@]}" >"$work/cli.out" 2>&1 &
      local pid=$!
      sleep 0.7
      echo "$what, during: $(line_now)"
      wait "$pid" || fail "$what: exit $?: $(cat "$work/cli.out")"
      ;;
  esac
  stop_sim
  if [ "$kind" = read ]; then
    tail -c +21 "$out" | cmp -s - "$work/flash.bin" || fail "$what: the file differs from the flash"
  else
    tail -c +21 "$rom" | cmp -s - "$work/flash.bin" || fail "$what: the flash differs from the image"
  fi
}

start_program
run exe new read
run exe new upgrade

start_sim 1 --line new
expect_eq "connect on a new line" "$(connect_via_setup 1)" \
  "Vesker  Link 1.0|connect ok!|Communication Setup"
click "$TITLE" 1078
drv waitfor "$TITLE" 1076 >/dev/null
click "$TITLE" 1106  # &7
click "$TITLE" 1104  # 5
sleep 0.5
click "$TITLE" 2
drv waitfor "$TITLE" 1078 >/dev/null
click "$TITLE" 2
wait_program_end
stop_sim
expect_eq "frames on a new line" "$(sim_frames | tail -3 | tr '\n' ' ')" "CMD_CONNECT KEY 0x11 KEY 0x13 "

for state in new left; do
  run cli "$state" read
  run cli "$state" upgrade
done
run cli.exe left read
run cli.exe left upgrade
finish
