#!/usr/bin/env bash
# Started from a folder with Chinese characters and blanks in its name: the configuration
# file lands in that folder.
source "$(dirname "$0")/../lib.sh"

dir="$work/维修 工具  folder"
mkdir -p "$dir"
printf '\x02\x00\x00\x00' >"$dir/Pelto.cfg"
start_program "$dir"
drv key "$TITLE" esc
wait_program_end
expect_file_hex "$dir/Pelto.cfg" "02000000"
[ ! -e "$work/Pelto.cfg" ] || fail "configuration file written outside the current folder"
finish
