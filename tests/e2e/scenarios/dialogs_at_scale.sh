#!/usr/bin/env bash
# Every dialog at 96 DPI and at 144 (Wine's LogPixels, as Windows at 150 %): the program is
# per-monitor aware, and every label, button, radio button and group box shows its text
# whole in the dialogs' font. A screenshot of each stays in $VL_STATE/screenshots/ to look at.
source "$(dirname "$0")/../lib.sh"

shots="$VL_STATE/screenshots"
mkdir -p "$shots"
# at_dpi DPI: Wine's screen at DPI for the programs started next. Its desktop takes the
# setting when it starts, so the session's server (and with it the desktop) starts again.
at_dpi() {
  wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$1" /f \
    </dev/null >/dev/null 2>&1
  wineserver -k </dev/null >/dev/null 2>&1
  wineserver -w </dev/null >/dev/null 2>&1
  setsid wineserver -p >"$VL_STATE/wineserver.log" 2>&1 </dev/null || true
  dpi=$1
}
dpi=96
trap 'cleanup; [ "$dpi" = 96 ] || at_dpi 96' EXIT

# whole TITLE NAME: no text cut short in the window; its screenshot as NAME.
whole() {
  local clipped
  clipped=$(drv clipped "$1" 宋体 9)
  [ -z "$clipped" ] || fail "at $dpi DPI, '$1' cuts short: ${clipped//$'\n'/, }"
  import -window root "$shots/$dpi-$2.png"
}

rom="$work/new.bin"
{ printf 'VESKER_SZ_RomFtaAMD1'; head -c 1048576 /dev/zero; } >"$rom"
for scale in 144 96; do
  at_dpi "$scale"
  # A receiver that answers late, so that the connection and transfer dialogs stay up a while.
  start_sim 1 --late 1500
  start_program
  expect_eq "awareness" "$(drv dpi "$TITLE")" "$dpi per-monitor"
  whole "$TITLE" control-panel
  click "$TITLE" 3
  drv wait "About $TITLE" >/dev/null && whole "About $TITLE" about-box
  click "About $TITLE" 1
  drv gone "About $TITLE" 5000 || fail "the About box stayed"
  click "$TITLE" 1106
  drv wait "Communication Setup" >/dev/null && whole "Communication Setup" communication-setup
  click "Communication Setup" 1070
  click "Communication Setup" 1
  drv wait "Connect to the receiver" >/dev/null && whole "Connect to the receiver" connect
  expect_eq "connect at $dpi DPI" "$(drv message)" \
    "Vesker  Link 1.0|connect ok!|Communication Setup"
  drv gone "Communication Setup" 5000 || fail "the setup dialog stayed"
  click "$TITLE" 1078
  drv waitfor "$TITLE" 1076 >/dev/null && whole "$TITLE" remote-control
  click "$TITLE" 2
  drv waitfor "$TITLE" 1078 >/dev/null || fail "no Control Panel after the remote panel"
  start_read "$work/rom.bin"
  whole "Read Receiver Software" read-software
  drv key "Read Receiver Software" esc
  drv gone "Read Receiver Software" 5000 || fail "the read stayed"
  sleep 2  # the receiver's late answer to the read goes by, not into the upgrade
  start_upgrade "$rom"
  drv wait "Upgrade Receiver Software" >/dev/null && whole "Upgrade Receiver Software" upgrade
  drv key "Upgrade Receiver Software" esc
  drv gone "Upgrade Receiver Software" 5000 || fail "the upgrade stayed"
  click "$TITLE" 2
  wait_program_end
  stop_sim
done
finish
