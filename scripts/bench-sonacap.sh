#!/usr/bin/env bash
# Benchmark of the recorder on a private PulseAudio server with a null sink (no sound card;
# SOUND=pipewire for PipeWire with its PulseAudio service):
#  - CPU seconds per minute of sound of sonacap beside parec recording the same monitor as
#    mono float at 48000 Hz, over one minute of a played 1 kHz tone;
#  - the median delay from writing a tone pip to a low-latency player until it reaches the
#    socket (an upper bound: the player's own buffering is included);
#  - sonacap's resident memory while the server stops reading for 10 seconds.
# Usage: scripts/bench-sonacap.sh [build folder, default build]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
sonacap=$build/bin/sonacap
[ -x "$sonacap" ] || { echo "no $sonacap: build first" >&2; exit 2; }
work=$(mktemp -d /tmp/bench-sonacap-XXXXXX)
sound=$top/server/sound-server.sh
cleanup() { "$sound" stop "$work/sound" || true; rm -rf "$work"; }
trap cleanup EXIT
"$sound" start "$work/sound" "${SOUND:-pulseaudio}" 48000
export PULSE_SERVER=unix:$work/sound/native

python3 - "$sonacap" "$work" "$top/scripts" <<'PY'
import math, os, socket, struct, subprocess, sys, threading, time, fcntl
sonacap, work = sys.argv[1], sys.argv[2]
sys.path.insert(0, sys.argv[3])
from sonacap_messages import messages
RATE = 48000
tick = os.sysconf("SC_CLK_TCK")

def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / tick

def rss_kib(pid):
    """Resident KiB: all of it, and the private (anonymous) part that excludes the sound
    server's shared memory pool."""
    values = {}
    for line in open(f"/proc/{pid}/status"):
        key, _, rest = line.partition(":")
        if key in ("VmRSS", "RssAnon"):
            values[key] = int(rest.split()[0])
    return values["VmRSS"], values["RssAnon"]

def tone(seconds, amplitude=0.5):
    n = int(RATE * seconds)
    return struct.pack(f"<{n}f", *(amplitude * math.sin(2 * math.pi * 1000 * i / RATE) for i in range(n)))

path = os.path.join(work, "s.sock")
listener = socket.socket(socket.AF_UNIX)
listener.bind(path)
listener.listen(1)
tool = subprocess.Popen([sonacap, "--socket", path])
conn, _ = listener.accept()

state = {"samples": 0, "onsets": [], "loud": False, "quiet_run": 0, "reading": True, "events": []}
lock = threading.Lock()
resume = threading.Event()
resume.set()

class Paused:
    """The connection, read only while resume is set."""
    def recv(self, size):
        resume.wait()
        return conn.recv(size)

def reader():
    for kind, payload in messages(Paused()):
        now = time.monotonic()
        if kind == 0x4A:
            state["events"].append(payload.decode())
            continue
        samples = struct.unpack(f"<{len(payload) // 4}f", payload)
        with lock:
            state["samples"] += len(samples)
            for x in samples:
                if abs(x) > 0.2:
                    if not state["loud"]:
                        state["onsets"].append(now)
                    state["loud"], state["quiet_run"] = True, 0
                else:
                    state["quiet_run"] += 1
                    if state["quiet_run"] > RATE // 100:
                        state["loud"] = False

threading.Thread(target=reader, daemon=True).start()
deadline = time.monotonic() + 10
while not any('"started"' in e for e in state["events"]):
    if time.monotonic() > deadline:
        sys.exit("sonacap did not start: %s" % state["events"])
    time.sleep(0.05)

# 1. One minute of tone, sonacap and parec side by side.
tone_file = os.path.join(work, "tone.f32")
with open(tone_file, "wb") as f:
    f.write(tone(61))
parec = subprocess.Popen(["parec", "-d", "cap0.monitor", "--format=float32le", "--channels=1",
                          "--rate=48000", "--latency-msec=10", "--raw"], stdout=subprocess.DEVNULL)
time.sleep(1)
player = subprocess.Popen(["pacat", "--playback", "--raw", "--format=float32le", "--channels=1",
                           "--rate=48000", tone_file])
time.sleep(0.5)
s0, p0, n0, t0 = cpu_seconds(tool.pid), cpu_seconds(parec.pid), state["samples"], time.monotonic()
time.sleep(60)
s1, p1, n1, t1 = cpu_seconds(tool.pid), cpu_seconds(parec.pid), state["samples"], time.monotonic()
player.wait()
parec.terminate()
parec.wait()
minutes = (n1 - n0) / RATE / 60
print(f"sound streamed: {(n1 - n0) / RATE:.2f} s in {t1 - t0:.2f} s of wall time")
print(f"CPU per minute of sound: sonacap {(s1 - s0) / minutes:.3f} s, parec {(p1 - p0) / (t1 - t0) * 60:.3f} s,"
      f" ratio {((s1 - s0) / minutes) / max((p1 - p0) / (t1 - t0) * 60, 1e-9):.2f} (goal <= 1.2)")

# 2. Delay: 20 ms pips every 0.5 s through a player with a 10 ms buffer fed by a small pipe.
player = subprocess.Popen(["pacat", "--playback", "--raw", "--format=float32le", "--channels=1",
                           "--rate=48000", "--latency-msec=10"], stdin=subprocess.PIPE)
fcntl.fcntl(player.stdin.fileno(), 1031, 4096)  # F_SETPIPE_SZ: keep the pipe's backlog short
silence_chunk = struct.pack("<48f", *([0.0] * 48))  # 1 ms
pip = tone(0.02)
written = []
end = time.monotonic() + 12
next_pip = time.monotonic() + 1
while time.monotonic() < end:
    if time.monotonic() >= next_pip:
        written.append(time.monotonic())
        player.stdin.write(pip)
        next_pip += 0.5
    else:
        player.stdin.write(silence_chunk)
    player.stdin.flush()
player.stdin.close()
player.wait()
time.sleep(0.5)
with lock:
    onsets = list(state["onsets"])
delays = []
for w in written:
    later = [o for o in onsets if o >= w]
    if later and later[0] - w < 1.0:
        delays.append(later[0] - w)
delays.sort()
if delays:
    median = delays[len(delays) // 2]
    print(f"delay from writing a pip to its arrival: median {median * 1000:.1f} ms over {len(delays)} pips,"
          f" min {delays[0] * 1000:.1f} ms, max {delays[-1] * 1000:.1f} ms (goal < 50 ms)")
else:
    print("delay: no pip arrived")

# 3. The server stops reading for 10 s while the tone plays.
player = subprocess.Popen(["pacat", "--playback", "--raw", "--format=float32le", "--channels=1",
                           "--rate=48000", tone_file])
time.sleep(1)
before = rss_kib(tool.pid)
resume.clear()
time.sleep(0.2)
during = []
for _ in range(20):
    time.sleep(0.5)
    during.append(rss_kib(tool.pid))
resume.set()
time.sleep(1)
after = rss_kib(tool.pid)
print(f"resident memory (all / private): {before[0]} / {before[1]} KiB before the stall, at most"
      f" {max(d[0] for d in during)} / {max(d[1] for d in during)} KiB during 10 s without reading,"
      f" {after[0]} / {after[1]} KiB after (goal: no growth)")
player.terminate()
player.wait()

conn.send(b"S")
print(f"sonacap exit status after the stop byte: {tool.wait(timeout=10)}")
PY
