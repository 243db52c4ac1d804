#!/usr/bin/env bash
# vesker-link.exe in a Windows console under Wine, COM1 linked to a simulated receiver:
# a proven read into a folder with a Chinese name (logged) and one into a path of more than 260
# characters, an upgrade that first backs the flash up and reads it back, keys by caption,
# probe, and a port with no device; one log written by two processes at once, the system's
# words in Chinese, and the console's code page as it was after a run.
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

# One log, two processes, four ports each (none has a device, so each line comes at once):
# every line whole, under the lock.
cli -p COM6,COM7,COM8,COM9 --log "$work/shared.log" connect >/dev/null 2>&1 &
other=$!
cli -p COM6,COM7,COM8,COM9 --log "$work/shared.log" connect >/dev/null 2>&1
wait "$other"
expect_eq "the shared log" "$(python3 -c '
import json, sys
entries = [json.loads(l) for l in open(sys.argv[1], encoding="utf-8").read().splitlines()]
print(sorted((e["port"], e["exitCode"]) for e in entries))' "$work/shared.log")" \
  "$(python3 -c 'print(sorted(("COM%d" % n, 4) for n in (6, 6, 7, 7, 8, 8, 9, 9)))')"
# Rotated (renamed, and a new log made by the next run): each line in the file it was
# written to, none lost and none cut.
mv "$work/shared.log" "$work/shared.log.1"
cli -p COM6,COM7 --log "$work/shared.log" connect >/dev/null 2>&1
expect_eq "the log after a rotation" "$(wc -l <"$work/shared.log.1") $(wc -l <"$work/shared.log")" \
  "8 2"

# The system's words in the user's language reach the console as UTF-8: a log in a folder
# that is not there, on a Chinese system.
localedef -i zh_CN -f UTF-8 "$work/locale/zh_CN.UTF-8" 2>/dev/null
env LOCPATH="$work/locale" LC_ALL=zh_CN.UTF-8 wine "$VL_BUILD/vesker-link.exe" -p 2 \
  --log "$work/none/bench.log" connect </dev/null >/dev/null 2>"$work/err"
expect_eq "no log exit code" "$?" "5"
expect_eq "no log message" "$(python3 -c '
import sys
text = open(sys.argv[1], "rb").read().decode("utf-8").strip()
head, _, reason = text.partition(sys.argv[2] + ": ")
print(head.strip(), all(ord(c) > 0x2E7F for c in reason) and len(reason) > 1)' "$work/err" \
  "$work/none/bench.log")" "vesker-link: cannot write the log True"

# The console's code page and mode belong to the console, and a batch file goes on in it:
# they are as they were after a run (under a terminal, so that Wine gives the run a console).
check=$(winepath -w "$VL_BUILD/tests/vl-console-check.exe")
seen=$(winepath -w "$work/console")
script -qec "wine cmd /c 'chcp 850 >nul & $check $seen & $(winepath -w "$VL_BUILD/vesker-link.exe") \
  -p COM6 connect & $check $seen'" /dev/null </dev/null >/dev/null 2>&1
expect_eq "the console after a run" "$(tr -d '\r' <"$work/console" | paste -sd/)" \
  "code page 850, escape sequences off/code page 850, escape sequences off"
