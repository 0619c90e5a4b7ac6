#!/bin/bash
# A private X11 desktop for the screen recorder's tests and benchmark: Xvfb with a 1920x1080
# screen and the openbox window manager.
#   x11-rig.sh start DIR [WIDTHxHEIGHT]   start both; the display's name goes to DIR/display
#   x11-rig.sh stop-wm DIR                stop the window manager only, as a crash does
#   x11-rig.sh stop DIR                   stop what start started, by pid
set -euo pipefail
command=${1:-}
DIR=${2:-}
[ -n "$DIR" ] || { echo "usage: $0 start|stop-wm|stop DIR [WIDTHxHEIGHT]" >&2; exit 2; }
export HOME=$DIR/home XDG_CONFIG_HOME=$DIR/config XDG_CACHE_HOME=$DIR/cache

stop_pid() {
  local file=$DIR/$1.pid
  [ -f "$file" ] || return 0
  local pid
  pid=$(cat "$file")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$file"
}

case $command in
  start)
    size=${3:-1920x1080}
    mkdir -p "$DIR" "$HOME" "$XDG_CONFIG_HOME" "$XDG_CACHE_HOME"
    rm -f "$DIR/display"
    exec 3>"$DIR/display"
    Xvfb -displayfd 3 -screen 0 "${size}x24" -nolisten tcp +extension Composite \
      >"$DIR/xvfb.log" 2>&1 &
    echo $! >"$DIR/xvfb.pid"
    exec 3>&-
    for _ in $(seq 1 100); do [ -s "$DIR/display" ] && break; sleep 0.05; done
    [ -s "$DIR/display" ] || { echo "Xvfb did not start:" >&2; cat "$DIR/xvfb.log" >&2; exit 1; }
    export DISPLAY=":$(head -n1 "$DIR/display")"
    echo "$DISPLAY" >"$DIR/display"
    openbox --sm-disable >"$DIR/openbox.log" 2>&1 &
    echo $! >"$DIR/openbox.pid"
    # Openbox is ready once it names its check window on the root.
    for _ in $(seq 1 100); do
      xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && exit 0
      sleep 0.05
    done
    echo "openbox did not start:" >&2
    cat "$DIR/openbox.log" >&2
    exit 1
    ;;
  stop-wm) stop_pid openbox ;;
  stop)
    stop_pid openbox
    stop_pid xvfb
    ;;
  *) echo "usage: $0 start|stop-wm|stop DIR [WIDTHxHEIGHT]" >&2; exit 2 ;;
esac
