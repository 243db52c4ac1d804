#!/usr/bin/env bash
# A folder where the configuration file cannot be created: "save config info error！" at
# exit, once, with no owner window.
source "$(dirname "$0")/../lib.sh"

# Root may write anywhere, so make the file's name a folder: creating it must fail.
mkdir "$work/Pelto.cfg"
start_program
drv key "$TITLE" esc
expect_eq "message" "$(drv message)" "Vesker  Link 1.0|save config info error！|"
drv nomessage 1500 || fail "more than one message"
wait_program_end
finish
