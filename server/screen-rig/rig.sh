#!/bin/bash
# A headless Wayland desktop with the screen-cast portal, for the screen recorder's tests and
# benchmark: a private session bus, PipeWire with WirePlumber and its PulseAudio service, sway
# with two headless outputs (HEADLESS-1 1920x1080, HEADLESS-2 1280x720), xdg-desktop-portal-wlr
# whose picker is answered by chooser.sh, and xdg-desktop-portal.
#   rig.sh start DIR           bring it all up, state in DIR
#   rig.sh run DIR CMD ARG...  exec CMD in the desktop's session, as the desktop's user
#   rig.sh answer DIR OUTPUT   what the picker answers next: an output name, or CANCEL
#   rig.sh stop DIR            stop what start started, by pid
# sway refuses to run as root, so as root the desktop runs as the user quorvel-rig.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
command=${1:-}
DIR=${2:-}
[ -n "$DIR" ] || { echo "usage: $0 start|run|answer|stop DIR ..." >&2; exit 2; }
shift 2
RIG_USER=quorvel-rig

session_env() {
  export XDG_RUNTIME_DIR=$DIR/run
  export XDG_CONFIG_HOME=$DIR/config XDG_STATE_HOME=$DIR/state XDG_DATA_HOME=$DIR/data
  export HOME=$DIR/home
  export XDG_CURRENT_DESKTOP=sway XDG_SESSION_TYPE=wayland WAYLAND_DISPLAY=wayland-1
  export DBUS_SESSION_BUS_ADDRESS=unix:path=$DIR/run/bus
  unset DISPLAY PULSE_SERVER
}

# Execs the rest as the desktop's user (as root), in the desktop's session.
as_rig_user() {
  session_env
  if [ "$(id -u)" -eq 0 ]; then
    exec setpriv --reuid="$RIG_USER" --regid="$RIG_USER" --clear-groups -- "$@"
  fi
  exec "$@"
}

spawn() {
  local name=$1; shift
  "$@" >>"$DIR/logs/$name.log" 2>&1 &
  echo "$name $!" >>"$DIR/pids"
}

wait_until() {
  local what=$1; shift
  for _ in $(seq 1 250); do "$@" >/dev/null 2>&1 && return 0; sleep 0.02; done
  echo "the screen rig did not come up: no $what; logs:" >&2
  tail -n 20 "$DIR"/logs/*.log >&2
  return 1
}

has_name() {
  gdbus call --session -d org.freedesktop.DBus -o /org/freedesktop/DBus \
    -m org.freedesktop.DBus.NameHasOwner "$1" | grep -q true
}

# Runs as the desktop's user.
bring_up() {
  session_env
  mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
  mkdir -p "$DIR/logs" "$XDG_STATE_HOME" "$XDG_DATA_HOME" "$HOME" \
    "$XDG_CONFIG_HOME/xdg-desktop-portal-wlr"
  printf '[screencast]\nmax_fps=10\nchooser_type=simple\nchooser_cmd=%s\n' "$here/chooser.sh" \
    >"$XDG_CONFIG_HOME/xdg-desktop-portal-wlr/config"
  spawn dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
  wait_until "session bus" test -S "$XDG_RUNTIME_DIR/bus"
  spawn pipewire pipewire
  wait_until "PipeWire" test -S "$XDG_RUNTIME_DIR/pipewire-0"
  spawn wireplumber wireplumber
  spawn pipewire-pulse pipewire-pulse
  WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman WLR_HEADLESS_OUTPUTS=2 \
    spawn sway sway -c "$here/sway.config"
  wait_until "Wayland display" test -S "$XDG_RUNTIME_DIR/$WAYLAND_DISPLAY"
  # Services the bus starts on demand see the desktop too.
  dbus-update-activation-environment WAYLAND_DISPLAY XDG_CURRENT_DESKTOP XDG_RUNTIME_DIR \
    XDG_CONFIG_HOME XDG_STATE_HOME XDG_DATA_HOME
  LD_PRELOAD=$DIR/xdpw-shm-shim.so spawn portal-wlr /usr/libexec/xdg-desktop-portal-wlr
  wait_until "wlr portal" has_name org.freedesktop.impl.portal.desktop.wlr
  spawn portal /usr/libexec/xdg-desktop-portal
  wait_until "portal" has_name org.freedesktop.portal.Desktop
  wait_until "sound service" pactl info
}

case "$command" in
  start)
    mkdir -p "$DIR"
    cc -O2 -shared -fPIC -o "$DIR/xdpw-shm-shim.so" "$here/xdpw-shm-shim.c" -ldl
    if [ "$(id -u)" -eq 0 ]; then
      id "$RIG_USER" >/dev/null 2>&1 || useradd --system --no-create-home --shell /usr/sbin/nologin "$RIG_USER"
      chown "$RIG_USER:" "$DIR"
    fi
    ( as_rig_user "$here/rig.sh" up "$DIR" )
    ;;
  up) bring_up ;;
  run) as_rig_user "$@" ;;
  answer) echo "$1" >"$DIR/run/chooser-answer" ;;
  stop)
    [ -f "$DIR/pids" ] || exit 0
    bus=$(awk '$1 == "dbus" { print $2 }' "$DIR/pids")
    # What the bus started on demand (the permission store, the document portal) are its children.
    pids="$(tac "$DIR/pids" | awk '{ print $2 }') $(ps -o pid= --ppid "$bus" 2>/dev/null || true)"
    kill $pids 2>/dev/null || true
    for _ in $(seq 1 100); do
      alive=0
      for pid in $pids; do
        state=$(awk '{ print $3 }' "/proc/$pid/stat" 2>/dev/null || echo gone)
        [ "$state" = gone ] || [ "$state" = Z ] || alive=1
      done
      [ $alive = 0 ] && break
      sleep 0.05
    done
    kill -9 $pids 2>/dev/null || true
    rm -f "$DIR/pids"
    ;;
  *) echo "usage: $0 start|run|answer|stop DIR ..." >&2; exit 2 ;;
esac
