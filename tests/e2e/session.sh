#!/usr/bin/env bash
# One Wine session for all end-to-end scenarios: a private prefix inside the build folder
# (created once and reused), an X server when none is given, COM1..COM4 mapped to fixed
# link paths that a simulated receiver can later point at its pty.
#   session.sh start | stop
# VL_BUILD names the windows build folder.
set -euo pipefail
: "${VL_BUILD:?VL_BUILD must name the windows build folder}"
state="$VL_BUILD/e2e"
env_file="$state/session.env"
mkdir -p "$state/ports"

start() {
  # A UTF-8 locale, so that paths with any characters reach Windows programs intact.
  export LC_ALL=C.UTF-8
  export WINEPREFIX="$VL_BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # Always a screen of our own: clicks land by screen position, so nothing else may move the
  # desktop window.
  if true; then
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    setsid Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >"$state/xvfb.log" 2>&1 < /dev/null &
    echo $! >"$state/xvfb.pid"
    export DISPLAY=":$n"
    for _ in $(seq 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
  fi
  # A persistent server, started with its output away from ours so test runners never wait
  # on it; every later wine call joins it.
  setsid wineserver -p >"$state/wineserver.log" 2>&1 < /dev/null || true
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >"$state/wineboot.log" 2>&1 < /dev/null
  fi
  # The dialogs name their font "宋体": map it (and its Latin name) to an installed CJK font
  # so that full-width marks render.
  local fonts='HKCU\Software\Wine\Fonts\Replacements'
  # Its Latin letters are of one width, as in that face, so that the capture box's help text
  # keeps its columns.
  wine reg add "$fonts" /v 宋体 /d "WenQuanYi Micro Hei Mono" /f >/dev/null 2>&1 < /dev/null
  wine reg add "$fonts" /v SimSun /d "WenQuanYi Micro Hei Mono" /f >/dev/null 2>&1 < /dev/null
  # One virtual desktop window (the whole screen) for every program of the session: dialogs
  # get their frames
  # and captions, and focus moves between windows as on Windows.
  wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1 < /dev/null
  wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f \
    >/dev/null 2>&1 < /dev/null
  # Wine rebuilds dosdevices/comN at each start from this key.
  for n in 1 2 3 4; do
    wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$state/ports/com$n" /f \
      >/dev/null 2>&1 < /dev/null
  done
  # The desktop setting counts from the next start of the session's server.
  wineserver -k >/dev/null 2>&1 < /dev/null || true
  wineserver -w >/dev/null 2>&1 < /dev/null || true
  setsid wineserver -p >"$state/wineserver.log" 2>&1 < /dev/null || true
  cat >"$env_file" <<ENV
export LC_ALL=C.UTF-8 WINEPREFIX='$WINEPREFIX' WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=' DISPLAY='$DISPLAY'
export VL_EXE='$VL_BUILD/VeskerLink.exe' VL_DRIVER='$VL_BUILD/tests/vl-driver.exe'
export VL_PORTS='$state/ports' VL_STATE='$state'
ENV
  echo "wine session ready on $DISPLAY"
}

stop() {
  if [ -f "$env_file" ]; then
    # shellcheck disable=SC1090
    source "$env_file"
    wineserver -k >/dev/null 2>&1 || true
  fi
  if [ -f "$state/xvfb.pid" ]; then
    kill "$(cat "$state/xvfb.pid")" 2>/dev/null || true
    rm -f "$state/xvfb.pid"
  fi
  rm -f "$env_file"
}

case "${1:-}" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: session.sh start|stop" >&2; exit 2 ;;
esac
