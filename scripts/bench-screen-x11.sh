#!/usr/bin/env bash
# Records SECONDS (60) of a moving 1920x1080 display on a private X11 desktop (Xvfb and openbox)
# with sonacap --screen, its own picker answered with Return, and then with
# `ffmpeg -f x11grab -framerate 10 ... -c:v libx264 -preset veryfast` of the same display, its
# sound from the same output's monitor, one after the other. Prints CPU seconds per second of
# recording and megabytes per minute of each.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
work=$(mktemp -d /tmp/bench-screen-x11.XXXXXX)
cleanup() {
  [ -n "${painter:-}" ] && kill "$painter" 2>/dev/null
  bash "$top/server/sound-server.sh" stop "$work/sound" >/dev/null 2>&1 || true
  bash "$top/server/x11-rig.sh" stop "$work/x11" || true
  rm -rf "$work"
}
trap cleanup EXIT
bash "$top/server/x11-rig.sh" start "$work/x11"
DISPLAY=$(cat "$work/x11/display")
export DISPLAY
mkdir -p "$work/sound"
bash "$top/server/sound-server.sh" start "$work/sound" pulseaudio 48000 >/dev/null
export PULSE_SERVER=unix:$work/sound/native
unset DBUS_SESSION_BUS_ADDRESS
ffplay -loglevel error -f lavfi -i testsrc2=size=1920x1080:rate=30 -an -noborder -left 0 -top 0 \
  >/dev/null 2>&1 &
painter=$!
sleep 2

python3 - "$top" "$work" "$seconds" "$DISPLAY" <<'PY'
import os, socket, subprocess, sys, time
top, work, seconds, display = sys.argv[1], sys.argv[2], float(sys.argv[3]), sys.argv[4]
sys.path.insert(0, os.path.join(top, "scripts"))
from sonacap_messages import event_seen
hz = os.sysconf("SC_CLK_TCK")

def cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / hz

def report(name, cpu_s, path):
    size = os.path.getsize(path) / 1e6
    print("%-8s CPU %.3f s per s of recording, %.1f MB per minute" % (name, cpu_s / seconds, size / seconds * 60))
    return cpu_s

path = os.path.join(work, "s.sock")
listener = socket.socket(socket.AF_UNIX)
listener.bind(path)
listener.listen(1)
movie = os.path.join(work, "sonacap.mp4")
recorder = subprocess.Popen([os.path.join(top, "build", "bin", "sonacap"), "--socket", path, "--screen", movie],
                            env=dict(os.environ, QUORVEL_SCREEN="x11"))
conn, _ = listener.accept()
started = event_seen(conn, b'"recording"')
picker = subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "^Choose what to record$"],
                        check=True, capture_output=True, text=True).stdout.split()[0]
subprocess.run(["xdotool", "windowactivate", "--sync", picker], check=True)
subprocess.run(["xdotool", "key", "Return"], check=True)
started.wait(30)
before = cpu(recorder.pid)
time.sleep(seconds)
used = cpu(recorder.pid) - before
conn.send(b"S")
recorder.wait(120)
ours = report("sonacap", used, movie)

grabbed = os.path.join(work, "ffmpeg.mp4")
peer = subprocess.Popen(["ffmpeg", "-loglevel", "error", "-f", "x11grab", "-framerate", "10",
                         "-video_size", "1920x1080", "-i", display, "-f", "pulse", "-i", "cap0.monitor",
                         "-c:v", "libx264", "-preset", "veryfast", "-c:a", "aac", "-t", str(seconds + 2),
                         grabbed], stdin=subprocess.DEVNULL)
time.sleep(2)
before = cpu(peer.pid)
time.sleep(seconds)
used = cpu(peer.pid) - before
peer.wait(120)
theirs = report("ffmpeg", used, grabbed)
print("CPU ratio sonacap / ffmpeg x11grab: %.2f (goal <= 1.0)" % (ours / theirs))
PY
