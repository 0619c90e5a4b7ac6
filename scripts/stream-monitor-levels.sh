#!/usr/bin/env bash
# Measures, on a private PulseAudio and on PipeWire's PulseAudio service, what a playback
# stream's own monitor (what `sonacap --bundles` and a window's recording read) and the output's
# monitor (the whole-output tap) carry while the stream's volume is halved and while the output
# is muted. Prints the peak level of each. Usage: scripts/stream-monitor-levels.sh
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/monitor-levels.XXXXXX)
trap 'bash "$here/../server/sound-server.sh" stop "$work/sound" >/dev/null 2>&1 || true; rm -rf "$work"' EXIT

peak() {
  python3 - "$1" <<'PY'
import struct, sys
data = open(sys.argv[1], 'rb').read()
n = len(data) // 4
values = struct.unpack('%df' % n, data[:n * 4]) if n else []
print(f"{max((abs(v) for v in values), default=0.0):.3f}")
PY
}

# Records one second of a source (with a stream to monitor, or none) into $work/NAME.f32.
record() {
  local name=$1; shift
  timeout 1.5 parec --latency-msec=40 --raw --format=float32le --channels=1 --rate=48000 "$@" \
    >"$work/$name.f32" || true
}

sox -n -r 48000 -c 1 -t f32 "$work/tone.f32" synth 30 sine 1000 vol 0.5
for kind in pulseaudio pipewire; do
  mkdir -p "$work/sound"
  bash "$here/../server/sound-server.sh" start "$work/sound" "$kind" 48000 >/dev/null
  export PULSE_SERVER=unix:$work/sound/native
  pacat --playback --raw --format=float32le --channels=1 --rate=48000 "$work/tone.f32" &
  player=$!
  sleep 1
  input=$(pactl list short sink-inputs | awk '{print $1}' | tail -1)  # the newest: the tone's
  echo "== $kind (a mono tone of peak 0.5)"
  for state in "as played" "stream volume 50%" "output muted"; do
    case $state in
      "stream volume 50%") pactl set-sink-input-volume "$input" 50% ;;
      "output muted") pactl set-sink-input-volume "$input" 100%; pactl set-sink-mute cap0 1 ;;
    esac
    sleep 0.3
    record stream -d cap0.monitor --monitor-stream="$input"
    record output -d cap0.monitor
    printf '%-18s stream monitor %s   output monitor %s\n' "$state" "$(peak "$work/stream.f32")" \
      "$(peak "$work/output.f32")"
  done
  kill "$player" 2>/dev/null || true
  wait "$player" 2>/dev/null || true
  bash "$here/../server/sound-server.sh" stop "$work/sound" >/dev/null
  rm -rf "$work/sound"
done
