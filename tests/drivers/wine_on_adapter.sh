#!/usr/bin/env bash
# VeskerLink.exe on a real driver: in the driver bench's guest, with COM1 on /dev/ttyUSB0
# (ftdi_sio), a read through the Read dialog into FOLDER/wine-read.bin, then an upgrade of
# FOLDER/random.bin through the Upgrade dialog. The bench compares both with the receiver.
#   wine_on_adapter.sh FOLDER
source "$(dirname "$0")/../e2e/lib.sh"

READ="Read Receiver Software"
folder="$1"
ln -sfn /dev/ttyUSB0 "$VL_PORTS/com1"
start_program
start_read "$folder/wine-read.bin"
drv gone "$READ" 400000 || fail "the read did not end"
drv nomessage 500 || fail "a message after the read"
start_upgrade "$folder/random.bin"
finish_upgrade
click "$TITLE" 2
wait_program_end
finish
