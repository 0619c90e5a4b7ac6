#!/usr/bin/env bash
# Records SECONDS (60) of a moving 1920x1080 output (PATTERN=snow for a busy one) on the headless portal desktop, with
# sonacap --screen and with a GStreamer pipeline of the same portal stream, one after the
# other, and prints CPU seconds per second of recording, megabytes per minute, the movie's
# audio/video offset at the end and what the compositor cost meanwhile.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
pattern=${PATTERN:-ball}   # GStreamer videotestsrc pattern on the screen: ball, snow, smpte...
rig=$top/server/screen-rig/rig.sh
work=$(mktemp -d /tmp/bench-screen.XXXXXX)
trap 'bash "$rig" stop "$work/rig"; rm -rf "$work"' EXIT
mkdir -p "$work/out" && chmod 777 "$work" "$work/out"   # the desktop's user works in here
bash "$rig" start "$work/rig"
bash "$rig" answer "$work/rig" HEADLESS-1
bash "$rig" run "$work/rig" gst-launch-1.0 -q videotestsrc pattern="$pattern" ! \
  video/x-raw,width=1920,height=1080,framerate=30/1 ! waylandsink >/dev/null 2>&1 &
painter=$!
sleep 2
sway=$(awk '$1 == "sway" { print $2 }' "$work/rig/pids")

python3 - "$top" "$rig" "$work" "$seconds" "$sway" <<'PY'
import os, socket, subprocess, sys, time
top, rig, work, seconds, sway = sys.argv[1], sys.argv[2], sys.argv[3], float(sys.argv[4]), int(sys.argv[5])
sys.path.insert(0, os.path.join(top, "scripts"))
from sonacap_messages import event_seen
hz = os.sysconf("SC_CLK_TCK")

def cpu(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12]) + int(fields[13]) + int(fields[14])) / hz

def probe(path, entries):
    return subprocess.run(["ffprobe", "-v", "error", "-show_entries", entries, "-of", "csv=p=0", path],
                          capture_output=True, text=True).stdout.split()

def report(name, cpu_s, path, sway_s):
    size = os.path.getsize(path) / 1e6
    durations = [float(d) for d in probe(path, "stream=duration")]
    print("%-10s CPU %.3f s per s of recording, %.1f MB per minute, audio/video offset at the end %s, sway %.3f s/s"
          % (name, cpu_s / seconds, size / seconds * 60,
             "%.0f ms" % (1000 * (durations[1] - durations[0])) if len(durations) > 1 else "n/a (no audio)",
             sway_s / seconds))
    return cpu_s

path = os.path.join(work, "out", "s.sock")
listener = socket.socket(socket.AF_UNIX)
listener.bind(path)
os.chmod(path, 0o777)
listener.listen(1)
movie = os.path.join(work, "out", "sonacap.mp4")
recorder = subprocess.Popen(["bash", rig, "run", os.path.join(work, "rig"),
                             os.path.join(top, "build", "bin", "sonacap"), "--socket", path, "--screen", movie])
conn, _ = listener.accept()
started = event_seen(conn, b'"recording"')
started.wait(30)
sway0, t0 = cpu(sway), time.monotonic()
time.sleep(seconds)
used = cpu(recorder.pid)
sway1 = cpu(sway)
conn.send(b"S")
recorder.wait(120)
ours = report("sonacap", used, movie, sway1 - sway0)

cast = os.path.join(work, "out", "gst.mp4")
sway0 = cpu(sway)
out = subprocess.run(["bash", rig, "run", os.path.join(work, "rig"), "python3",
                      os.path.join(top, "scripts", "screen_portal_cast.py"), str(seconds), cast],
                     capture_output=True, text=True)
theirs = report("gstreamer", float(out.stdout.split()[-1]), cast, cpu(sway) - sway0)
print("CPU ratio sonacap / gstreamer: %.2f (goal <= 1.0)" % (ours / theirs))
PY
kill "$painter" 2>/dev/null || true
