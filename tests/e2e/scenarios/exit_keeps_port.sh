#!/usr/bin/env bash
# A 6-byte configuration file: only its first four bytes count, and Exit writes back exactly
# those four.
source "$(dirname "$0")/../lib.sh"

printf '\x03\x00\x00\x00\xAA\xBB' >"$work/Pelto.cfg"
start_program
click "$TITLE" 2
wait_program_end
expect_file_hex "$work/Pelto.cfg" "03000000"
finish
