#!/usr/bin/env bash
# The Win32 serial port's waits under Wine, on a line whose other end the scenario holds and
# never reads: a wait that runs out cancels its pending read without losing a byte of what
# comes next, and the bytes end the next wait early, both through Wine's pending read and
# through WaitCommEvent (Windows' own drivers' way, chosen here by the test-only switch
# VESKER_LINK_TEST_COMM_EVENTS); a write that the line does not take gives up after 5 s; the
# flow control characters another program left are set again; the line is left with no XOFF
# mode that a UART driver would refuse and limits within its queue (Wine's driver reports
# fixed ones, so the DCB the port hands SetCommState is checked too, for lines as drivers
# leave them); and a request whose driver never ends it is given up, not waited for.
source "$(dirname "$0")/../lib.sh"

CHECK="$VL_BUILD/tests/vl-port-check.exe"
# The line: a pty behind COM1 that sends what is put into $work/send, and reads nothing.
python3 - "$VL_PORTS/com1" "$work/send" >"$work/line.out" 2>&1 <<'PY' &
import os, sys, time, tty
master, slave = os.openpty()
tty.setraw(slave)
link, send = sys.argv[1], sys.argv[2]
os.symlink(os.ttyname(slave), link)
print("ready", flush=True)
while True:
    if os.path.exists(send + ".ready"):
        with open(send, "rb") as f:
            os.write(master, f.read())
        os.unlink(send + ".ready")
    time.sleep(0.02)
PY
line_pid=$!
for _ in $(seq 100); do grep -q ready "$work/line.out" && break; sleep 0.05; done

# wait_check EVENTS: one run of "vl-port-check wait", the bytes sent once its first wait is over.
wait_check() {
  VESKER_LINK_TEST_COMM_EVENTS=$1 wine "$CHECK" wait 19 </dev/null >"$work/check.out" 2>&1 &
  local check=$! _
  for _ in $(seq 200); do grep -q '^first' "$work/check.out" && break; sleep 0.05; done
  printf 'hello from the line' >"$work/send" && touch "$work/send.ready"
  wait "$check" || fail "vl-port-check wait failed"
  tr -d '\r' <"$work/check.out"
}
expected=$'first: timeout\nsecond: ready early\nread: hello from the line'
expect_eq "pending read" "$(wait_check 0)" "$expected"
expect_eq "WaitCommEvent" "$(wait_check 1)" "$expected"

out=$(wine "$CHECK" write 1048576 </dev/null 2>/dev/null | tr -d '\r')
if [[ "$out" =~ ^wrote\ ([0-9]+)\ of\ 1048576\ after\ ([0-9]+)\ ms$ ]]; then
  [ "${BASH_REMATCH[1]}" -lt 1048576 ] || fail "a line that takes nothing took it all: $out"
  [ "${BASH_REMATCH[2]}" -ge 4500 ] || fail "the write gave up before its 5 s: $out"
else
  fail "write: $out"
fi
# Another program left both flow control characters 0 (which Windows' SetCommState refuses):
# the port sets them, though flow control stays off.
expect_eq "flow control characters" \
  "$(wine "$CHECK" chars 0 </dev/null 2>/dev/null | tr -d '\r')" "left 0x00 0x00, then 0x11 0x13"
state=$(wine "$CHECK" state 0 </dev/null 2>/dev/null | tr -d '\r')
[[ "$state" == "XOFF continue: 0, limits within the queue: yes "* ]] || fail "the line left: $state"
expect_eq "the DCB handed over" "$(wine "$CHECK" dcb 0 </dev/null 2>/dev/null | tr -d '\r')" \
  "dcb: 8 cases"
expect_eq "a request never ended" "$(wine "$CHECK" stuck 10000 </dev/null 2>/dev/null | tr -d '\r')" \
  "gave up: the request did not end"
kill "$line_pid" 2>/dev/null
wait "$line_pid" 2>/dev/null
finish
