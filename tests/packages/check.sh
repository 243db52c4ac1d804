#!/usr/bin/env bash
# The packages as a user gets them: builds the Windows zip and the Debian package, lists
# them, installs the .deb (with apt as root, else into a temporary root), runs the installed
# commands, and starts the installed launcher under Xvfb against receiver-sim, through
# Communication Setup to "connect ok!", through a serial device server (ser2net) to a whole
# read, and twice at once, each program with ports of its own. lintian must find no error
# in the .deb.
# Logs and a screenshot of the Control Panel go to build/packages/.
set -euo pipefail
cd "$(dirname "$0")/../.."

cmake --preset windows >/dev/null
cmake --build --preset windows --target package
cmake --preset linux >/dev/null
cmake --build --preset linux --target package

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build/linux/CMakeCache.txt)
zip="$PWD/build/windows/VeskerLink-$version-win64.zip"
deb="$PWD/build/linux/veskerlink_${version}_amd64.deb"
driver="$PWD/build/windows/tests/vl-driver.exe"
out="$PWD/build/packages"
mkdir -p "$out"
tmp=$(mktemp -d)
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}
expect_eq() { # WHAT ACTUAL EXPECTED
  [ "$2" == "$3" ] || fail "$1: got '$2', expected '$3'"
}

xvfb_pid=""
sim_pid=""
served_pid=""
ser2net_pid=""
program_pid=""
installed_here=0
export WINEDEBUG=-all XDG_DATA_HOME="$tmp/data"
export WINEPREFIX="$XDG_DATA_HOME/veskerlink/wineprefix"
prefix2="$XDG_DATA_HOME/veskerlink/wineprefix-2"
first_pid=""
second_pid=""
cleanup() {
  set +e
  for pid in "$program_pid" "$first_pid" "$second_pid"; do
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
  done
  [ -d "$WINEPREFIX" ] && wineserver -k >/dev/null 2>&1 </dev/null
  [ -d "$prefix2" ] && WINEPREFIX="$prefix2" wineserver -k >/dev/null 2>&1 </dev/null
  [ -n "$sim_pid" ] && kill -TERM "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  [ -n "$ser2net_pid" ] && kill "$ser2net_pid" 2>/dev/null
  [ -n "$served_pid" ] && kill "$served_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  if [ "$installed_here" -eq 1 ]; then
    apt-get remove -y -qq veskerlink </dev/null >/dev/null 2>&1
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "== $zip"
unzip -l "$zip"
echo "== $deb"
dpkg-deb --info "$deb"
dpkg-deb --contents "$deb"

# What each package promises its user.
zip_files=$(unzip -Z1 "$zip")
for file in VeskerLink.exe vesker-link.exe README.txt LICENSE; do
  grep -qx "VeskerLink-$version-win64/$file" <<<"$zip_files" || fail "the zip has no $file"
done
deb_files=$(dpkg-deb --contents "$deb" | awk '{print $6}')
for file in bin/vesker-link bin/receiver-sim bin/veskerlink lib/veskerlink/VeskerLink.exe \
  share/man/man1/vesker-link.1.gz share/man/man1/receiver-sim.1.gz \
  share/man/man1/veskerlink.1.gz share/bash-completion/completions/vesker-link \
  share/doc/veskerlink/copyright; do
  grep -qx "./usr/$file" <<<"$deb_files" || fail "the .deb has no /usr/$file"
done
relations=$(dpkg-deb --field "$deb" Depends Recommends)
for package in libc6 libstdc++6 wine fonts-wqy-microhei; do
  grep -qw "$package" <<<"$relations" || fail "the .deb neither depends on nor recommends $package"
done

echo "== lintian"
lintian_status=0
lintian --fail-on error "$deb" >"$out/lintian.log" 2>&1 || lintian_status=$?
grep -v "running with root privileges" "$out/lintian.log" || true
[ "$lintian_status" -eq 0 ] || fail "lintian found errors"

# Installed as a user installs it.
if [ "$(id -u)" -eq 0 ]; then
  if ! dpkg-query -W -f='${Status}' veskerlink 2>/dev/null | grep -q "install ok installed"; then
    installed_here=1
  fi
  if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "$deb" </dev/null \
    >"$out/apt.log" 2>&1; then
    cat "$out/apt.log"
    exit 1
  fi
  usr=/usr
else
  dpkg-deb -x "$deb" "$tmp/root"
  usr="$tmp/root/usr"
fi
bin="$usr/bin"

expect_eq "vesker-link --version" "$("$bin/vesker-link" --version)" "vesker-link $version"
expect_eq "receiver-sim --version" "$("$bin/receiver-sim" --version)" "receiver-sim $version"
expect_eq "veskerlink --version" "$("$bin/veskerlink" --version)" "veskerlink $version"
# Held whole: grep -q leaves at its first match, and a help longer than one pipe write
# would then end in SIGPIPE and fail the pipeline.
help=$("$bin/vesker-link" --help)
grep -q "^usage: vesker-link" <<<"$help" || fail "vesker-link --help"
completion=$(PATH="$bin:$PATH" bash -c 'source "$1"
  COMP_WORDS=(vesker-link -p COM1 key ME); COMP_CWORD=4; _vesker_link; echo "${COMPREPLY[*]}"' \
  _ "$usr/share/bash-completion/completions/vesker-link")
expect_eq "completion of 'vesker-link -p COM1 key ME'" "$completion" "MENU"
if message=$(env PATH=/nonexistent "$BASH" "$bin/veskerlink" 2>&1); then
  fail "veskerlink started without Wine"
fi
grep -q "apt install wine" <<<"$message" || fail "without Wine, veskerlink said: $message"

# The installed launcher on a screen of its own, with a simulated receiver behind a link.
n=90
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$out/xvfb.log" 2>&1 </dev/null &
xvfb_pid=$!
export DISPLAY=":$n"
for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
"$bin/receiver-sim" --link "$tmp/receiver" --log "$tmp/sim.log" >"$tmp/sim.out" 2>&1 </dev/null &
sim_pid=$!
for _ in $(seq 100); do [ -L "$tmp/receiver" ] && break; sleep 0.05; done

TITLE="Vesker  Link $version"
SETUP="Communication Setup"
drv() { wine "$driver" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
click() {
  local where
  where=$(drv where "$1" "$2") || { fail "no control $2 in '$1'"; return 0; }
  # shellcheck disable=SC2086
  xdotool mousemove $where click 1
}
# launch RUN ARGS...: the installed launcher in $tmp/work, its output in $out/launcher-RUN.log.
launch() {
  local run="$1"
  shift
  mkdir -p "$tmp/work"
  local log="$out/launcher-$run.log" _
  (cd "$tmp/work" && exec "$bin/veskerlink" "$@" </dev/null >"$log" 2>&1) &
  program_pid=$!
  # The driver joins the prefix only once the launcher has made it and starts the program.
  for _ in $(seq 1800); do
    grep -q "COM1 is" "$log" && break
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.1
  done
  drv wait "$TITLE" 60000 >/dev/null || fail "run $run: no Control Panel; the launcher said: $(cat "$log")"
}
await_end() {
  local _
  for _ in $(seq 200); do
    kill -0 "$program_pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -0 "$program_pid" 2>/dev/null && fail "the program did not end"
  wait "$program_pid" || true
  program_pid=""
}

# The first start, as a new user has it: the prefix is made, the second port given is COM2,
# the fifth and sixth are COM5 and COM6 in Setup's list, and the program keeps its choice in
# the current folder.
launch 1 --port "$tmp/absent" --port "$tmp/receiver" --port "$tmp/receiver" --port "$tmp/receiver" \
  --port "$tmp/receiver" --port "$tmp/receiver"
click "$TITLE" 1106
drv wait "$SETUP" >/dev/null || fail "no $SETUP dialog"
listed=$(drv items "$SETUP" 1072 | grep -x 'COM[56]' | tr '\n' ' ')
expect_eq "ports beyond COM4 in the list" "$listed" "COM5 COM6 "
click "$SETUP" 1071
click "$SETUP" 1
expect_eq "message" "$(drv message)" "$TITLE|connect ok!|$SETUP"
drv gone "$SETUP" 5000 >/dev/null || fail "the setup dialog stayed open"
drv close "$TITLE" >/dev/null
await_end
expect_eq "Pelto.cfg" "$(od -An -tx1 "$tmp/work/Pelto.cfg" 2>/dev/null | tr -d ' \n')" "01000000"
expect_eq "frames" "$(cut -d' ' -f3- "$tmp/sim.log" | tr '\n' ' ')" "CMD_CONNECT "

# Again with one port: COM2 to COM6 no longer lead to the receiver. This time in a desktop
# window, framed as a window manager would, for the screenshot.
wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 </dev/null
wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
  >/dev/null 2>&1 </dev/null
wineserver -w
launch 2 --port "$tmp/receiver"
sleep 1
import -window root "$out/control-panel.png"
expect_eq "COM1" "$(readlink "$WINEPREFIX/dosdevices/com1")" "$tmp/receiver"
for n in 2 3 4 5 6; do
  [ "$(readlink "$WINEPREFIX/dosdevices/com$n")" != "$tmp/receiver" ] ||
    fail "COM$n still leads to the receiver of the first run"
done
click "$TITLE" 2
await_end

# A receiver behind a serial device server: the real ser2net, its own line set wrong
# (9600 baud, two stop bits, RTS/CTS), so only the line that vesker-link's bridge
# negotiates carries the read that the program makes through the Read dialog.
"$bin/receiver-sim" --unpaced --control-bytes --seed 5 --link "$tmp/served" \
  --write-flash "$tmp/served.flash" >"$tmp/served.out" 2>&1 </dev/null &
served_pid=$!
for _ in $(seq 100); do [ -L "$tmp/served" ] && break; sleep 0.05; done
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$tmp/ser2net.yaml" <<YAML
connection: &served
  accepter: telnet(rfc2217),tcp,127.0.0.1,$port
  connector: serialdev,$(readlink "$tmp/served"),9600n82,rtscts,local
YAML
PATH="$PATH:/usr/sbin" ser2net -n -u -P "$tmp/ser2net.pid" -c "$tmp/ser2net.yaml" \
  >"$out/ser2net.log" 2>&1 </dev/null &
ser2net_pid=$!
# Listening, found without a connection (one would open the line for nothing).
for _ in $(seq 100); do
  grep -q "^ *[0-9]*: 0100007F:$(printf '%04X' "$port") 00000000:0000 0A" /proc/net/tcp && break
  sleep 0.05
done
# COM2, the port the program kept from the first run.
launch 3 --port "$tmp/absent" --port "rfc2217://127.0.0.1:$port"
click "$TITLE" 1108
drv wait "save as rom(*.bin) file" >/dev/null || fail "no Save As dialog"
drv filename "save as rom(*.bin) file" "Z:${tmp//\//\\}\\served.bin"
drv wait "Read Receiver Software" >/dev/null || fail "no read dialog"
drv gone "Read Receiver Software" 120000 >/dev/null || fail "the read through the server did not end"
drv nomessage 500 >/dev/null || fail "a message after the read through the server: $(drv message)"
click "$TITLE" 2
await_end

# Two programs at once: the second gets a Wine prefix and bridge links of its own, so the
# first one's COM1 still leads to its receiver while the second one's leads to the server.
launch 4 --port "$tmp/receiver"
first_pid=$program_pid
lines2="$XDG_DATA_HOME/veskerlink/lines-2"
# The launcher takes its prefix itself; the driver joins the one it names.
WINEPREFIX="$prefix2" launch 5 --port "rfc2217://127.0.0.1:$port"
second_pid=$program_pid
expect_eq "the first program's COM1" "$(readlink "$WINEPREFIX/dosdevices/com1")" "$tmp/receiver"
expect_eq "the second program's COM1" "$(readlink "$prefix2/dosdevices/com1")" "$lines2/com1"
[ -L "$lines2/com1" ] || fail "the second program's bridge has no link"
WINEPREFIX="$prefix2" drv close "$TITLE" >/dev/null
drv close "$TITLE" >/dev/null
for pid in "$first_pid" "$second_pid"; do
  for _ in $(seq 200); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -0 "$pid" 2>/dev/null && fail "a program of the two did not end"
  wait "$pid" || true
done
program_pid=""
[ ! -e "$lines2/com1" ] || fail "the second bridge's link outlived its program"
kill -TERM "$served_pid" "$ser2net_pid" 2>/dev/null
wait "$served_pid" "$ser2net_pid" 2>/dev/null || true
served_pid=""
ser2net_pid=""
grep -q "leads to rfc2217://127.0.0.1:$port" "$out/launcher-3.log" ||
  fail "the launcher did not bridge COM2: $(cat "$out/launcher-3.log")"
tail -c +21 "$tmp/served.bin" 2>/dev/null | cmp -s - "$tmp/served.flash" ||
  fail "the file read through the server differs from the receiver's flash"
[ ! -e "$XDG_DATA_HOME/veskerlink/lines/com2" ] || fail "the bridge's link outlived the program"

if [ "$failures" -ne 0 ]; then
  echo "packages: $failures check(s) failed; logs in $out"
  exit 1
fi
echo "PASS: packages"
