#!/usr/bin/env bash
# The update end to end, on a 300 MB bundle: Quorvel 1.0.0 (the built bundle with 300 MB of
# extra files, signed and notarised with a throw-away authority) is installed in a private
# home and started with the quorvel command; the release archive of 1.1.0 is given to the
# server's update check and then its install action, as the page does. Prints the time from the request to the
# relaunched server answering with 1.1.0, broken down by what a watcher sees happen (polled
# every 5 ms): the old launcher ending, the installer's settle pause, the copy, the
# verification, the exchange, the removal of the old bundle, the relaunch and the launcher's
# start; and beside it a plain `cp -a` of the same bundle on the same disk.
# Run after a build: scripts/bench-update.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/bench-update-XXXXXX")
trap 'pkill -KILL -f "$work" 2>/dev/null || true; rm -rf "$work"' EXIT

bash "$top/bundleswap/tests/make-test-ca.sh" "$work/ca" >/dev/null 2>&1
mkdir -p "$work/trust"
cp "$work/ca/root.pem" "$work/trust/publisher-roots.pem"
cp "$work/ca/notary-root.pem" "$work/trust/notary-roots.pem"
export QUORVEL_TRUST_DIR=$work/trust
export QUORVEL_SIGN_KEY=$work/ca/leaf.key QUORVEL_SIGN_CERT=$work/ca/leaf.pem
export QUORVEL_SIGN_CHAIN=$work/ca/intermediate.pem
export QUORVEL_NOTARY_KEY=$work/ca/notary.key QUORVEL_NOTARY_CERT=$work/ca/notary.pem

# The built bundle and 300 MB more in 5000 files of random bytes.
cp -a "$top/build/Quorvel.app" "$work/Quorvel.app"
base=$(du -sm "$work/Quorvel.app" | cut -f1)
extra=$((300 - base))
per_file=$((extra * 1048576 / 5000))
for d in $(seq -w 0 49); do
  mkdir -p "$work/Quorvel.app/Contents/Resources/data/$d"
  head -c $((100 * per_file)) /dev/urandom | split -b "$per_file" -a 3 - "$work/Quorvel.app/Contents/Resources/data/$d/part"
done
older=$(bash "$top/scripts/release.sh" --bundle "$work/Quorvel.app" --version 1.0.0 --team TEAMA12345 --out "$work")
newer=$(bash "$top/scripts/release.sh" --bundle "$work/Quorvel.app" --version 1.1.0 --team TEAMA12345 --out "$work")
mkdir "$work/a" "$work/b"
tar -C "$work/a" -xzf "$older"
tar -C "$work/b" -xzf "$newer"
echo "bundle: $(du -sm "$work/b/Quorvel.app" | cut -f1) MB, $(find "$work/b/Quorvel.app" -type f | wc -l) files"

home=$work/home
mkdir -p "$home"
HOME=$home sh "$work/a/install.sh" >/dev/null
target=$home/.local/lib/quorvel/Quorvel.app

# The plain copy the goal is measured against, on the same disk, before anything runs; like
# the installer's, it does not wait for the disk to have written it all.
sync
start=$(date +%s.%N)
cp -a "$work/b/Quorvel.app" "$home/.local/lib/quorvel/.plain-copy.app"
plain=$(echo "$(date +%s.%N) - $start" | bc)
rm -rf "$home/.local/lib/quorvel/.plain-copy.app"
sync

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
env -i HOME="$home" PATH="$home/.local/bin:/usr/bin:/bin" LANG=C.UTF-8 \
  quorvel --no-browser --port "$port" </dev/null >/dev/null 2>&1 &

python3 - "$port" "$target" "$newer" "$plain" <<'PY'
import glob, json, os, sys, time, urllib.request
port, target, download, plain = int(sys.argv[1]), sys.argv[2], sys.argv[3], float(sys.argv[4])
base = "http://127.0.0.1:%d" % port

def ping():
    try:
        with urllib.request.urlopen(base + "/api/ping", timeout=1) as r:
            return json.load(r)
    except Exception:
        return None

def post(path, body):
    request = urllib.request.Request(base + path, data=json.dumps(body).encode(), method="POST",
                                     headers={"Content-Type": "application/json", "Host": "127.0.0.1:%d" % port})
    with urllib.request.urlopen(request, timeout=30) as r:
        return json.load(r)

def processes(executable_prefix=None, argument=None):
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            exe = os.readlink("/proc/%s/exe" % pid)
            args = open("/proc/%s/cmdline" % pid, "rb").read().split(b"\0")
        except OSError:
            continue
        if executable_prefix and exe.startswith(executable_prefix):
            found.append(int(pid))
        if argument and any(argument.encode() in a for a in args) and exe.endswith("/cp"):
            found.append(int(pid))
    return found

deadline = time.time() + 60
while (ping() or {}).get("version") != "1.0.0":
    if time.time() > deadline: sys.exit("Quorvel 1.0.0 did not start")
    time.sleep(0.1)
launcher_exe = target + "/Contents/MacOS/Quorvel"
old = processes(launcher_exe)
assert post("/api/update/check", {"path": download}).get("version") == "1.1.0"
parent = os.path.dirname(target)
inode = os.stat(target).st_ino
marks = {}
t0 = time.monotonic()
try:
    post("/api/update/install", {"path": download})
except Exception:
    pass  # the server exits as it answers
def mark(name):
    if name not in marks: marks[name] = time.monotonic() - t0
while time.monotonic() - t0 < 300:
    staged = glob.glob(os.path.join(parent, ".Quorvel-1.1.0-*.app"))
    if "launcher ended" not in marks and not any(os.path.exists("/proc/%d" % p) for p in old): mark("launcher ended")
    if staged and "copy began" not in marks: mark("copy began")
    if "copy began" in marks and "copy ended" not in marks and not processes(argument=".Quorvel-1.1.0-"): mark("copy ended")
    try:
        if os.stat(target).st_ino != inode: mark("exchanged")
    except OSError:
        pass
    if "exchanged" in marks and not staged: mark("old bundle removed")
    if "old bundle removed" in marks and "relaunched" not in marks and processes(launcher_exe): mark("relaunched")
    if "relaunched" in marks:
        answer = ping()
        if answer and answer.get("version") == "1.1.0":
            mark("answering 1.1.0")
            break
    time.sleep(0.005)
if "answering 1.1.0" not in marks: sys.exit("no answer from 1.1.0: %s" % marks)
steps = [("wait for the launcher to end", None, "launcher ended"),
         ("settle pause", "launcher ended", "copy began"),
         ("copy", "copy began", "copy ended"),
         ("verification and exchange", "copy ended", "exchanged"),
         ("removal of the old bundle", "exchanged", "old bundle removed"),
         ("relaunch", "old bundle removed", "relaunched"),
         ("launcher's start to its server answering", "relaunched", "answering 1.1.0")]
for name, begin, end in steps:
    print("%-42s %6.2f s" % (name, marks[end] - (marks[begin] if begin else 0)))
total = marks["answering 1.1.0"]
print("%-42s %6.2f s" % ("request to 1.1.0 answering", total))
print("%-42s %6.2f s" % ("plain cp -a of the same bundle", plain))
print("over the plain copy: %+.2f s (goal <= +2.00 s)" % (total - plain))
PY
