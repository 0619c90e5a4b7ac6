#!/usr/bin/env bash
# How true to the clock the recorder's stream stays: a 60-second capture on a private sound
# server with the default output switched twice and the sound service killed and started again
# once, printing the frames received against the time passed × 48000 as it goes.
# Usage: scripts/clock-sonacap.sh [pulseaudio|pipewire ...] (default: both) [build folder in BUILD]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
sonacap=${BUILD:-$top/build}/bin/sonacap
[ -x "$sonacap" ] || { echo "no $sonacap: build first" >&2; exit 2; }
sound=$top/server/sound-server.sh
kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(pulseaudio pipewire)

for kind in "${kinds[@]}"; do
  work=$(mktemp -d /tmp/clock-sonacap-XXXXXX)
  trap '"$sound" stop "$work/sound" || true; rm -rf "$work"' EXIT
  "$sound" start "$work/sound" "$kind" 48000
  export PULSE_SERVER=unix:$work/sound/native
  echo "== $kind"
  python3 - "$sonacap" "$work" "$sound" "$top/scripts" <<'PY'
import os, socket, subprocess, sys, threading, time
sonacap, work, sound = sys.argv[1:4]
sys.path.insert(0, sys.argv[4])
from sonacap_messages import messages
RATE = 48000
path = os.path.join(work, "s.sock")
listener = socket.socket(socket.AF_UNIX)
listener.bind(path)
listener.listen(1)
tool = subprocess.Popen([sonacap, "--socket", path])
conn, _ = listener.accept()
state = {"frames": 0, "start": None}
lock = threading.Lock()

def reader():
    for kind, payload in messages(conn):
        now = time.monotonic()
        if kind == 0x4A:
            print(f"  {now - (state['start'] or now):6.2f} s  event {payload.decode()}", flush=True)
            continue
        with lock:
            if state["start"] is None:
                state["start"] = now - len(payload) / 4 / RATE  # its frames were played before
            state["frames"] += len(payload) // 4

threading.Thread(target=reader, daemon=True).start()
def pactl(*args):
    subprocess.run(["pactl", *args], check=True, stdout=subprocess.DEVNULL)
def snd(command):
    subprocess.run(["bash", sound, command, os.path.join(work, "sound")], check=True)

while state["start"] is None:
    time.sleep(0.01)
steps = {15: ("switch to cap1", lambda: (pactl("load-module", "module-null-sink", "sink_name=cap1",
                                              "format=float32le", "rate=48000", "channels=2"),
                                        pactl("set-default-sink", "cap1"))),
         30: ("kill the sound service", lambda: snd("crash")),
         31: ("start it again", lambda: snd("revive")),
         45: ("switch to cap1", lambda: (pactl("load-module", "module-null-sink", "sink_name=cap1",
                                              "format=float32le", "rate=48000", "channels=2"),
                                        pactl("set-default-sink", "cap1")))}
worst = 0.0
for second in range(1, 61):
    while time.monotonic() - state["start"] < second:
        time.sleep(0.005)
    with lock:
        elapsed = time.monotonic() - state["start"]
        offset = (state["frames"] - elapsed * RATE) / RATE
    worst = max(worst, abs(offset))
    if second % 5 == 0:
        print(f"  {elapsed:6.2f} s  frames {state['frames']:8d}  expected {elapsed * RATE:10.0f}"
              f"  offset {offset * 1000:+7.1f} ms", flush=True)
    if second in steps:
        name, action = steps[second]
        print(f"  {elapsed:6.2f} s  {name}", flush=True)
        action()
print(f"  largest offset over 60 s: {worst * 1000:.1f} ms (goal: within 100 ms)")
conn.send(b"S")
print(f"  sonacap exit status after the stop byte: {tool.wait(timeout=10)}")
PY
  "$sound" stop "$work/sound" || true
  rm -rf "$work"
  trap - EXIT
done
