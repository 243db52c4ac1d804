# Shared steps of the end-to-end scenarios: run VeskerLink.exe in a folder of its own under
# the session's Wine, drive it with vl-driver.exe, check what it leaves on disk.
set -uo pipefail  # no -e: every check reports itself, and the scenario still cleans up
: "${VL_BUILD:?VL_BUILD must name the windows build folder}"
# shellcheck disable=SC1091
source "$VL_BUILD/e2e/session.env"

TITLE="Vesker  Link 1.0"
failures=0
work=$(mktemp -d "$VL_STATE/run-XXXXXX")
program_pid=""
sim_pids=()
# No port has a device until a scenario starts a simulated receiver on it.
rm -f "$VL_PORTS"/com*

cleanup() {
  stop_sim
  if [ -n "$program_pid" ] && kill -0 "$program_pid" 2>/dev/null; then
    kill "$program_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

# start_sim N [receiver-sim options...]: a simulated receiver on COMn; its frame log is
# $work/sim.log, or SIM_LOG for a second receiver.
start_sim() {
  local n="$1" log="${SIM_LOG:-$work/sim.log}"
  shift
  : "${VL_SIM:?VL_SIM must name receiver-sim}"
  rm -f "$VL_PORTS/com$n"  # an earlier receiver's link would look like this one's
  "$VL_SIM" --link "$VL_PORTS/com$n" --log "$log" "$@" >"${log%.log}.out" 2>&1 &
  sim_pids+=($!)
  local i
  for i in $(seq 100); do
    [ -L "$VL_PORTS/com$n" ] && return 0
    sleep 0.05
  done
  fail "receiver-sim did not start: $(cat "${log%.log}.out")"
}

# stop_sim: every simulated receiver ends, its files written.
stop_sim() {
  local pid
  for pid in "${sim_pids[@]}"; do
    kill -TERM "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  sim_pids=()
}

# sim_frames [LOG]: the names of the frames a simulated receiver took, one per line.
sim_frames() { cut -d' ' -f3- "${1:-$work/sim.log}" 2>/dev/null; }

fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# drv COMMAND ARGS...: one driver call; its output on stdout. A failed call fails the scenario
# with what the driver said.
drv() {
  local out status
  out=$(wine "$VL_DRIVER" "$@" </dev/null 2>/dev/null | tr -d '\r')
  status=${PIPESTATUS[0]}
  [ -n "$out" ] && echo "$out"
  if [ "$status" -ne 0 ] && [ "$1" != "nomessage" ] && [ "$1" != "gone" ]; then
    fail "driver $*: ${out:-exit $status}"
  fi
  return "$status"
}

# click TITLE ID: a real mouse click in the middle of a control, once its window takes input.
click() {
  local where="" _
  # A driver that Wine failed to start says nothing at all: ask again before giving up.
  for _ in 1 2 3; do
    where=$(wine "$VL_DRIVER" where "$1" "$2" </dev/null 2>/dev/null | tr -d '\r')
    [[ "$where" =~ ^-?[0-9]+\ -?[0-9]+$ ]] && break
  done
  [[ "$where" =~ ^-?[0-9]+\ -?[0-9]+$ ]] || { fail "cannot click $2 in '$1': $where"; return 0; }
  # shellcheck disable=SC2086
  xdotool mousemove $where click 1
}

# choose TITLE ID TEXT: opens a drop-down list with a click and clicks its item TEXT.
choose() {
  local index
  index=$(drv items "$1" "$2" | grep -nxF -- "$3" | cut -d: -f1)
  [ -n "$index" ] || { fail "no item '$3' in list $2 of '$1'"; return 0; }
  click "$1" "$2"
  sleep 0.3  # the list opens
  # shellcheck disable=SC2046
  xdotool mousemove $(drv whereitem "$1" "$2" $((index - 1))) click 1
}

# start_read PATH: "&Read Software", answering Save As with PATH; returns once the read
# dialog is up.
start_read() {
  click "$TITLE" 1108
  drv wait "save as rom(*.bin) file" >/dev/null
  drv filename "save as rom(*.bin) file" "Z:${1//\//\\}"
  drv wait "Read Receiver Software" >/dev/null || fail "no read dialog"
}

# start_upgrade PATH: "&Upgrade Software", answering the Open dialog with PATH.
start_upgrade() {
  click "$TITLE" 1107
  drv wait "open rom(*.bin) file" >/dev/null
  drv filename "open rom(*.bin) file" "Z:${1//\//\\}"
}

# await_upgrade: waits (up to a minute) for the upgrade dialog's button to read "Close".
await_upgrade() {
  local dialog="Upgrade Receiver Software" _
  drv wait "$dialog" >/dev/null || fail "no upgrade dialog"
  for _ in $(seq 120); do
    [ "$(drv text "$dialog" 2)" = "Close" ] && break
    sleep 0.5
  done
  expect_eq "upgrade finished" "$(drv text "$dialog" 2)" "Close"
}

# finish_upgrade: waits for the upgrade to complete, then closes its dialog.
finish_upgrade() {
  await_upgrade
  click "Upgrade Receiver Software" 2
  drv gone "Upgrade Receiver Software" 5000 || fail "Close did not close"
}

# connect_via_setup N: Communication Setup, "Com N" and OK; prints the message box as
# "caption|text|owner caption".
connect_via_setup() {
  local radios=(0 1070 1071 1074 1075)
  click "$TITLE" 1106
  drv wait "Communication Setup" >/dev/null || fail "no Communication Setup dialog"
  click "Communication Setup" "${radios[$1]}"
  click "Communication Setup" 1
  drv message
  drv gone "Communication Setup" 5000 || fail "the setup dialog stayed open"
}

# start_program [DIR]: VeskerLink.exe with DIR (default: the scenario's folder) as current
# directory; waits for the Control Panel.
start_program() {
  local dir="${1:-$work}"
  (cd "$dir" && exec wine "$VL_EXE" </dev/null >"$work/program.log" 2>&1) &
  program_pid=$!
  drv wait "$TITLE" 20000 >/dev/null || fail "the Control Panel did not appear"
}

# wait_program_end: the program must end by itself within 10 s.
wait_program_end() {
  local i
  for i in $(seq 200); do
    kill -0 "$program_pid" 2>/dev/null || { wait "$program_pid" || true; return 0; }
    sleep 0.05
  done
  fail "the program did not end"
}

expect_eq() {  # expect_eq WHAT ACTUAL EXPECTED
  [ "$2" == "$3" ] || fail "$1: got '$2', expected '$3'"
}

expect_file_hex() {  # expect_file_hex PATH HEX
  local actual
  actual=$(od -An -tx1 -v "$1" 2>/dev/null | tr -d ' \n')
  expect_eq "bytes of $(basename "$1")" "$actual" "$2"
}

finish() {
  if [ "$failures" -eq 0 ]; then
    echo "PASS: $(basename "$0" .sh)"
    exit 0
  fi
  exit 1
}
