#!/usr/bin/env bash
# The remote-control panel on COM1 with a simulated receiver: three key buttons, then five
# PC keys typed into the capture box, arrive as exactly those key codes in that order; Enter
# and Esc in the box leave the panel open, and "close" brings the Control Panel back.
source "$(dirname "$0")/../lib.sh"

start_sim 1
start_program
click "$TITLE" 1078
# The panel takes the program title as its caption; the Control Panel is hidden meanwhile.
drv waitfor "$TITLE" 1076 >/dev/null
drv absent "$TITLE" 1078 || fail "the Control Panel stayed on screen"
expect_eq "help text" "$(drv text "$TITLE" 1076 | head -1)" "Set the Focus on me！"
expect_eq "Com 1 selected" "$(drv checked "$TITLE" 1070)" "1"
click "$TITLE" 1080   # POWER
click "$TITLE" 1106   # &7
click "$TITLE" 1095   # MENU
click "$TITLE" 1076   # into the capture box
for key in up enter esc 7 numpad0; do
  drv key "$TITLE" "$key"
done
sleep 0.5
drv waitfor "$TITLE" 1076 500 >/dev/null || fail "Enter or Esc in the box closed the panel"
expect_eq "key frames" "$(sim_frames | tr '\n' ' ')" \
  "KEY 0x18 KEY 0x11 KEY 0x1D KEY 0x02 KEY 0x06 KEY 0x03 KEY 0x11 KEY 0x0E "
click "$TITLE" 2
drv wait "$TITLE" >/dev/null
expect_eq "Control Panel back" "$(drv text "$TITLE" 1111)" "Vesker  Link 1.0 Control Panel"
drv key "$TITLE" esc
wait_program_end
expect_file_hex "$work/Pelto.cfg" "00000000"
finish
