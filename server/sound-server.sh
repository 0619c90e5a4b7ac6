#!/bin/bash
# A private sound server without a sound card, for the recorder's tests and benchmark:
# PulseAudio, or PipeWire with its PulseAudio service, with a null sink "cap0" as the default
# sink, reached at unix:$DIR/native.
#   sound-server.sh start DIR [pulseaudio|pipewire] [RATE]   start it (cap0 at RATE, 48000)
#   sound-server.sh crash DIR    kill the sound service outright, as a crash or an upgrade does
#   sound-server.sh revive DIR   start it again as start did
#   sound-server.sh stop DIR     stop what start started, by pid
# Clients need PULSE_SERVER=unix:$DIR/native.
set -euo pipefail
command=${1:-}
DIR=${2:-}
[ -n "$DIR" ] || { echo "usage: $0 start|crash|revive|stop DIR [pulseaudio|pipewire] [RATE]" >&2; exit 2; }
export XDG_RUNTIME_DIR=$DIR               # keeps the servers off /run/user
export XDG_CONFIG_HOME=$DIR/config XDG_STATE_HOME=$DIR/state XDG_DATA_HOME=$DIR/data
export PULSE_STATE_PATH=$DIR/state        # cookie and state stay in DIR too
export PULSE_SERVER=unix:$DIR/native
export DBUS_SESSION_BUS_ADDRESS=unix:path=$DIR/bus

# Runs a server in the background with its output in DIR/NAME.log and its pid in DIR/NAME.pid.
spawn() {
  local name=$1; shift
  "$@" >>"$DIR/$name.log" 2>&1 &
  echo $! >"$DIR/$name.pid"
}

wait_for_server() {
  for _ in $(seq 1 500); do               # the servers give no other sign of being ready
    if pactl info >/dev/null 2>&1; then return 0; fi
    sleep 0.02
  done
  echo "the sound server did not come up; logs:" >&2
  cat "$DIR"/*.log >&2
  return 1
}

start_pulseaudio() {
  # Both rates the server may switch an idle sink to are cap0's, so a stream at another rate
  # is resampled instead of changing the sink's rate under the test.
  printf 'default-sample-rate = %s\nalternate-sample-rate = %s\n' "$rate" "$rate" >"$DIR/daemon.conf"
  # -n: none of default.pa's hardware modules; anonymous clients need no cookie.
  PULSE_CONFIG=$DIR/daemon.conf spawn pulse pulseaudio --daemonize=no --system=false -n \
      --use-pid-file=no --exit-idle-time=-1 --realtime=no --high-priority=no \
      --log-target=stderr --log-level=notice \
      -L "module-native-protocol-unix auth-anonymous=1 socket=$DIR/native" \
      -L "module-null-sink sink_name=cap0 format=float32le rate=$rate channels=2 sink_properties=device.description=cap0"
  wait_for_server
  pactl set-default-sink cap0
  # A null sink renders ahead in blocks as long as the smallest latency any client asks for,
  # 2 s when none asks, and a monitor reader only gets blocks rendered after it connected.
  # A silent 20 ms playback stream keeps the blocks short for players that ask for nothing;
  # suspending and resuming drops the 2 s block rendered at start-up.
  spawn keeper pacat --playback --latency-msec=20 --raw --format=float32le --channels=2 \
      --rate="$rate" --client-name=keeper /dev/zero
  sleep 0.1
  pactl suspend-sink cap0 1
  pactl suspend-sink cap0 0
}

start_pipewire() {
  # WirePlumber keeps its state on the session bus; the test has none of its own.
  [ -S "$DIR/bus" ] || {
    spawn dbus dbus-daemon --session --nofork --nopidfile --address="$DBUS_SESSION_BUS_ADDRESS"
    for _ in $(seq 1 250); do [ -S "$DIR/bus" ] && break; sleep 0.02; done
  }
  spawn pipewire pipewire
  for _ in $(seq 1 250); do [ -S "$DIR/pipewire-0" ] && break; sleep 0.02; done
  spawn wireplumber wireplumber
  spawn pipewire-pulse pipewire-pulse
  ln -sfn "$DIR/pulse/native" "$DIR/native"
  wait_for_server
  pactl load-module module-null-sink sink_name=cap0 format=float32le rate="$rate" channels=2 \
      sink_properties=device.description=cap0 >/dev/null
  pactl set-default-sink cap0
}

services() {
  case "$(cat "$DIR/kind")" in
    pulseaudio) echo keeper pulse ;;
    pipewire) echo pipewire-pulse wireplumber pipewire ;;
  esac
}

# Whether the process runs; a zombie whose parent has not reaped it yet does not.
running() { [ -r "/proc/$1/stat" ] && ! grep -q '^[0-9]* (.*) Z' "/proc/$1/stat"; }

# Ends the named servers, asking first unless the signal is KILL.
end() {
  local signal=$1 name pid; shift
  for name in "$@"; do
    [ -f "$DIR/$name.pid" ] || continue
    pid=$(cat "$DIR/$name.pid")
    kill "-$signal" "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do running "$pid" || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$DIR/$name.pid"
  done
}

case "$command" in
  start)
    kind=${3:-pulseaudio}
    rate=${4:-48000}
    case "$kind" in pulseaudio|pipewire) ;; *) echo "$0: no sound server $kind" >&2; exit 2 ;; esac
    mkdir -p -m 700 "$DIR"
    echo "$kind" >"$DIR/kind"
    echo "$rate" >"$DIR/rate"
    "start_$kind"
    ;;
  crash) end KILL $(services) ;;
  revive) rate=$(cat "$DIR/rate"); "start_$(cat "$DIR/kind")" ;;
  stop) if [ -f "$DIR/kind" ]; then end TERM $(services) dbus; fi ;;
  *) echo "usage: $0 start|crash|revive|stop DIR [pulseaudio|pipewire] [RATE]" >&2; exit 2 ;;
esac
