#!/usr/bin/env bash
# vesker-link.exe in a Windows console under Wine, COM1 linked to a simulated receiver:
# a proven read into a folder with a Chinese name (logged) and one into a path of more than 260
# characters, an upgrade that first backs the flash up and reads it back, keys by caption,
# probe, and a port with no device.
source "$(dirname "$0")/../lib.sh"

# The Windows console ends its lines with CR LF.
cli() { wine "$VL_BUILD/vesker-link.exe" "$@" </dev/null; }

folder="$work/固件 备份"
mkdir -p "$folder"
start_sim 1 --unpaced --variant 9 --seed 42 --write-flash "$work/flash.bin"
out=$(cli -p COM1 --fast --log "$work/bench.log" read "$folder/rom.bin" 2>"$work/err")
expect_eq "read exit code" "$?" "0"
expect_eq "read says" "$(tr -d '\r' <<<"$out")" \
  "read 512 blocks of HCI 29 2 into $folder/rom.bin: 2 reads agree"
expect_eq "read file size" "$(stat -c %s "$folder/rom.bin" 2>/dev/null)" "2097172"
expect_eq "the log's line" "$(python3 -c '
import json, sys
lines = open(sys.argv[1], encoding="utf-8").read().splitlines()
entry = json.loads(lines[0])
print(len(lines), entry["command"], entry["exitCode"], entry["proof"]["read"])' "$work/bench.log")" \
  "1 read 0 2 reads agree"

# The Save As dialog stops at 260 characters; the program's own file code does not.
deep="$work"
while [ ${#deep} -lt 300 ]; do deep="$deep/a folder with blanks ü"; done
mkdir -p "$deep"
cli -p COM1 --fast -q --once read "$deep/rom.bin" >/dev/null 2>"$work/err"
expect_eq "long path read exit code" "$?" "0"
cmp -s "$deep/rom.bin" "$folder/rom.bin" || fail "the read into a long path differs"

# The same kind of receiver, a different image: the backup must keep the old flash.
python3 - "$folder/rom.bin" "$folder/new.bin" <<'PY'
import sys
data = bytearray(open(sys.argv[1], "rb").read())
for i in range(20, len(data), 4096):
    data[i] ^= 0xFF
open(sys.argv[2], "wb").write(data)
PY
cli -p COM1 --fast -q --once upgrade "$folder/new.bin" >"$work/out" 2>"$work/err"
expect_eq "upgrade exit code" "$?" "0"
backups=("$folder"/backup-RomHCIAMD2-*.bin)
[ -f "${backups[0]}" ] || fail "no backup beside the file: $(ls "$folder")"
cmp -s "${backups[0]}" "$folder/rom.bin" || fail "the backup is not the old flash"

cli -p COM1 --gap 0 key CH▲ 7 MENU >/dev/null 2>"$work/err"
expect_eq "key exit code" "$?" "0"
# probe asks Windows' device records for the port's name; Wine keeps none for a linked port.
cli probe COM1 >"$work/out" 2>"$work/err"
expect_eq "probe exit code" "$?" "0"
expect_eq "probe says" "$(tr -d '\r' <"$work/out")" "COM1  connect ok!"
stop_sim
tail -c +21 "$folder/new.bin" | cmp -s - "$work/flash.bin" || fail "the receiver's flash is not the new image"
expect_eq "keys on the line" "$(sim_frames | grep KEY | tr '\n' ',')" "KEY 0x02,KEY 0x11,KEY 0x1D,"

cli -p 2 connect >/dev/null 2>"$work/err"
expect_eq "no device exit code" "$?" "4"
# The program's own message, then why, as the system told it (in Wine's words).
expect_eq "no device message" "$(tr -d '\r' <"$work/err" | cut -d'(' -f1)" "vesker-link: open port2 error!
vesker-link: cannot open COM2: no such device "
finish
