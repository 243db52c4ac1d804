#!/usr/bin/env bash
# One Wine session for all end-to-end scenarios: a private prefix inside the build folder
# (created once and reused), an X server when none is given, COM1..COM4 (and COM7 and COM12,
# as Windows numbers USB adapters, and COM10, which opens only by its device name) mapped to
# fixed link paths that a simulated receiver can later point at its pty.
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
  # desktop window. Big enough for the largest dialog at 150 %.
  if true; then
    local n=90
    while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; do n=$((n + 1)); done
    setsid Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >"$state/xvfb.log" 2>&1 < /dev/null &
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
  # Every setting in one import (each start of a Wine program costs seconds, tens of them in
  # an emulated machine). The dialogs name their font "宋体": map it (and its Latin name) to
  # an installed CJK font whose Latin letters are of one width, as in that face, so that
  # full-width marks render and the capture box's help text keeps its columns. One virtual
  # desktop window (the whole screen) for every program of the session: dialogs get their
  # frames and captions, and focus moves between windows as on Windows. Wine rebuilds
  # dosdevices/comN at each start from the Ports key.
  {
    printf 'Windows Registry Editor Version 5.00\n\n'
    printf '[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\n'
    printf '"%s"="WenQuanYi Micro Hei Mono"\n' 宋体 SimSun
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]\n"Desktop"="Default"\n'
    printf '\n[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]\n"Default"="1280x1024"\n'
    printf '\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\n'
    for n in 1 2 3 4 7 10 12; do printf '"COM%d"="%s"\n' "$n" "$state/ports/com$n"; done
  } | iconv -f UTF-8 -t UTF-16 >"$state/session.reg"
  wine regedit /S "$state/session.reg" >/dev/null 2>&1 < /dev/null
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
