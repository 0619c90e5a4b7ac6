#!/bin/bash
# A private PulseAudio server without a sound card, for the recorder's tests and benchmark:
# a null sink "cap0" as the default sink, reached at unix:$PA_DIR/native.
#   pulse-server.sh start PA_DIR [RATE]   start it (RATE of cap0, 48000 unless given)
#   pulse-server.sh stop PA_DIR           stop what start started, by pid
# Clients need PULSE_SERVER=unix:$PA_DIR/native.
set -euo pipefail
command=${1:-}
PA_DIR=${2:-}
rate=${3:-48000}
[ -n "$PA_DIR" ] || { echo "usage: $0 start|stop PA_DIR [RATE]" >&2; exit 2; }
export XDG_RUNTIME_DIR=$PA_DIR            # keeps the server off /run/user
export PULSE_STATE_PATH=$PA_DIR/state     # cookie and state stay in PA_DIR too
export PULSE_SERVER=unix:$PA_DIR/native

start() {
  mkdir -p -m 700 "$PA_DIR"
  # Both rates the server may switch an idle sink to are cap0's, so a stream at another rate
  # is resampled instead of changing the sink's rate under the test.
  printf 'default-sample-rate = %s\nalternate-sample-rate = %s\n' "$rate" "$rate" >"$PA_DIR/daemon.conf"
  export PULSE_CONFIG=$PA_DIR/daemon.conf
  # -n: none of default.pa's hardware modules; anonymous clients need no cookie.
  pulseaudio --daemonize=no --system=false -n --use-pid-file=no \
      --exit-idle-time=-1 --realtime=no --high-priority=no \
      --log-target=stderr --log-level=notice \
      -L "module-native-protocol-unix auth-anonymous=1 socket=$PA_DIR/native" \
      -L "module-null-sink sink_name=cap0 format=float32le rate=$rate channels=2 sink_properties=device.description=cap0" \
      >"$PA_DIR/pulse.log" 2>&1 &
  echo $! >"$PA_DIR/pulse.pid"
  local up=0
  for _ in $(seq 1 500); do               # the server gives no other sign of being ready
    if pactl info >/dev/null 2>&1; then up=1; break; fi
    sleep 0.02
  done
  if [ $up = 0 ]; then echo "pulseaudio did not come up; log:" >&2; cat "$PA_DIR/pulse.log" >&2; return 1; fi
  pactl set-default-sink cap0
  # A null sink renders ahead in blocks as long as the smallest latency any client asks for,
  # 2 s when none asks, and a monitor reader only gets blocks rendered after it connected.
  # A silent 20 ms playback stream keeps the blocks short for players that ask for nothing;
  # suspending and resuming drops the 2 s block rendered at start-up.
  pacat --playback --latency-msec=20 --raw --format=float32le --channels=2 --rate="$rate" \
      --client-name=keeper </dev/zero >/dev/null 2>&1 &
  echo $! >"$PA_DIR/keeper.pid"
  sleep 0.1
  pactl suspend-sink cap0 1
  pactl suspend-sink cap0 0
}

stop() {
  local f pid
  for f in keeper pulse; do
    [ -f "$PA_DIR/$f.pid" ] || continue
    pid=$(cat "$PA_DIR/$f.pid")
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 1 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    rm -f "$PA_DIR/$f.pid"
  done
}

case "$command" in
  start) start ;;
  stop) stop ;;
  *) echo "usage: $0 start|stop PA_DIR [RATE]" >&2; exit 2 ;;
esac
